/* Grammar of the information file and the actions that build the info
   record, its kit, modules and files from it. */
%code top {
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

// Every list is right-recursive, so all items of a list stay on the stack
// until its end: this bounds the size of a module and of a kit.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%code requires {
#include <memory>
#include <string>
#include <vector>

#include "core/records.h"

// The catalogue under construction, and the records its properties go to.
struct InfoBuild {
    std::unique_ptr<InfoRecord> info;
    KitRecord *kit = nullptr;
    ModuleRecord *module = nullptr;
    FileRecord *file = nullptr;
};
}

%code provides {
extern FILE *infoin;
int infolex(void);
int infolex_destroy(void);
// Forgets the scanner's buffer, state stack and skipped-block tag.
void info_scan_reset();
}

%code {
#include "integrity/md5.h"

static void infoerror(InfoBuild &build, const char *message);
template <typename T> static T take(T *value);
static int32_t decimal_value(const std::string &text);
static bool decode_digest(uint8_t *digest, const std::string &text);
static void set_exec_order(FileRecord &file, const std::string &when, const std::string &number);
}

%define api.prefix {info}
%parse-param {InfoBuild &build}

/* The scanner allocates each string; a value the grammar drops or that an
   aborted parse leaves on the stack is deleted by the destructors. */
%union {
    std::string *string;
    std::vector<std::string> *names;
}

%token <string> STRING
%token UPDATE_OPEN UPDATE_CLOSE KIT_OPEN KIT_CLOSE MODULE_OPEN MODULE_CLOSE FILE_OPEN FILE_CLOSE
%token NAME REQUIRE NEEDS SITEPATH LOCALPATH MD5 SIZE TIME EXEC
%token UNTERMINATED
%type <names> names
%destructor { delete $$; } <string> <names>

%%

information
    : { build.info = std::make_unique<InfoRecord>(); }
      update kit
    ;

update
    : UPDATE_OPEN {
          build.info->update_file = std::make_unique<FileRecord>();
          build.file = build.info->update_file.get();
          build.module = nullptr;
      }
      properties UPDATE_CLOSE { build.file = nullptr; }
    ;

kit
    : KIT_OPEN {
          build.info->kit = std::make_unique<KitRecord>();
          build.kit = build.info->kit.get();
      }
      kit_items KIT_CLOSE
    ;

kit_items
    : kit_item kit_items
    | kit_item
    ;

kit_item
    : module
    | NAME '=' STRING   { build.kit->name = take($3); }
    ;

module
    : MODULE_OPEN {
          build.kit->modules.push_back(std::make_unique<ModuleRecord>());
          build.module = build.kit->modules.back().get();
      }
      module_items MODULE_CLOSE
    ;

module_items
    : module_item module_items
    | module_item
    ;

/* A repeated property replaces what the earlier one gave. */
module_item
    : file
    | NAME '=' STRING       { build.module->name = take($3); }
    | REQUIRE '=' names     { build.module->requires_ = take($3); }
    | NEEDS '=' names       { build.module->needs = take($3); }
    ;

/* Each step appends to the list of the names after it, so a list holds its
   names in the reverse of their order in the file. */
names
    : STRING names  {
                        $2->push_back(take($1));
                        $$ = $2;
                    }
    | STRING        {
                        $$ = new std::vector<std::string>;
                        $$->push_back(take($1));
                    }
    ;

file
    : FILE_OPEN {
          build.module->files.push_back(std::make_unique<FileRecord>());
          build.file = build.module->files.back().get();
      }
      properties FILE_CLOSE
    ;

properties
    : property properties
    | property
    ;

property
    : SITEPATH '=' STRING   { build.file->sitepath = take($3); }
    | LOCALPATH '=' STRING  { build.file->localpath = take($3); }
    | MD5 '=' STRING        { if (!decode_digest(build.file->md5, take($3))) YYABORT; }
    | SIZE '=' STRING       { build.file->size = decimal_value(take($3)); }
    | TIME '=' STRING       { build.file->time = decimal_value(take($3)); }
    | EXEC '=' STRING STRING {
                                const std::string when = take($3);
                                set_exec_order(*build.file, when, take($4));
                            }
    | STRING '=' STRING     { delete $1; delete $3; }
    ;

%%

// A broken file reaches the user through the loader's error event only.
static void infoerror(InfoBuild &, const char *) {}

// The value of a semantic value the scanner or a rule allocated, which it
// releases.
template <typename T> static T take(T *value) {
    const std::unique_ptr<T> owned{value};
    return std::move(*owned);
}

// Decimal conversion in the manner of strtol, clamped to 32 bits.
static int32_t decimal_value(const std::string &text) {
    long number = strtol(text.c_str(), nullptr, 10);
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

// Anything but exactly 32 hexadecimal digits, in either case, is refused
// before md5_unhex reads 32 characters.
static bool decode_digest(uint8_t *digest, const std::string &text) {
    if (text.size() != 32) return false;
    for (const char c : text) {
        const char lower = static_cast<char>(c | 0x20);
        if (!((c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'f'))) return false;
    }
    md5_unhex(digest, text.c_str());
    return true;
}

// `exec = pre n` stores -n, `exec = post n` stores n; other words change
// nothing.
static void set_exec_order(FileRecord &file, const std::string &when, const std::string &number) {
    int64_t value = decimal_value(number);
    if (strcasecmp(when.c_str(), "pre") == 0) {
        value = -value;
    } else if (strcasecmp(when.c_str(), "post") != 0) {
        return;
    }
    if (value > INT32_MAX) value = INT32_MAX;
    file.order = static_cast<int32_t>(value);
}
