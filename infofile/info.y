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
#include "support/vector.h"
}

%code provides {
extern FILE *infoin;
int infolex(void);
int infolex_destroy(void);
// Forgets the scanner's buffer, state stack and skipped-block tag.
void info_scan_reset();
}

%code {
#include "infofile/infofile.h"
#include "integrity/md5.h"

static void infoerror(const char *message);
static void replace_string(char **field, char *value);
static int32_t decimal_value(const char *text);
static bool decode_digest(uint8_t *digest, const char *text);
static void set_exec_order(FileRecord *file, const char *when, const char *number);
}

%define api.prefix {info}

%union {
    char *string;
    Vector *names;
}

%token <string> STRING
%token UPDATE_OPEN UPDATE_CLOSE KIT_OPEN KIT_CLOSE MODULE_OPEN MODULE_CLOSE FILE_OPEN FILE_CLOSE
%token NAME REQUIRE NEEDS SITEPATH LOCALPATH MD5 SIZE TIME EXEC
%token UNTERMINATED
%type <names> names
%destructor { free($$); } <string>
%destructor { vector_free($$, 1); } <names>

%%

information
    : {
          current_info = info_new();
          if (current_info == nullptr) YYABORT;
      }
      update kit
    ;

update
    : UPDATE_OPEN {
          update_file = file_new();
          if (update_file == nullptr) YYABORT;
          current_info->update_file = update_file;
          current_file = update_file;
          current_module = nullptr;
      }
      properties UPDATE_CLOSE { current_file = nullptr; }
    ;

kit
    : KIT_OPEN {
          current_kit = kit_new();
          if (current_kit == nullptr) YYABORT;
          current_info->kit = current_kit;
      }
      kit_items KIT_CLOSE
    ;

kit_items
    : kit_item kit_items
    | kit_item
    ;

kit_item
    : module
    | NAME '=' STRING   { replace_string(&current_kit->name, $3); }
    ;

module
    : MODULE_OPEN {
          current_module = module_new();
          if (current_module == nullptr) YYABORT;
          if (kit_add_module(current_kit, current_module) < 0) {
              module_free(nullptr, current_module);
              current_module = nullptr;
              YYABORT;
          }
      }
      module_items MODULE_CLOSE
    ;

module_items
    : module_item module_items
    | module_item
    ;

module_item
    : file
    | NAME '=' STRING       { replace_string(&current_module->name, $3); }
    | REQUIRE '=' names     {
                                if (current_module->requires_ != nullptr) {
                                    vector_free(current_module->requires_, 1);
                                }
                                current_module->requires_ = $3;
                            }
    | NEEDS '=' names       {
                                if (current_module->needs != nullptr) {
                                    vector_free(current_module->needs, 1);
                                }
                                current_module->needs = $3;
                            }
    ;

/* Each step appends to the list of the names after it, so a list holds its
   names in the reverse of their order in the file. */
names
    : STRING names  {
                        if (vector_add($2, $1) < 0) {
                            free($1);
                            vector_free($2, 1);
                            YYABORT;
                        }
                        $$ = $2;
                    }
    | STRING        {
                        $$ = vector_new();
                        if ($$ == nullptr || vector_add($$, $1) < 0) {
                            free($1);
                            if ($$ != nullptr) vector_free($$, 0);
                            YYABORT;
                        }
                    }
    ;

file
    : FILE_OPEN {
          current_file = file_new();
          if (current_file == nullptr) YYABORT;
          if (module_add_file(current_module, current_file) < 0) {
              file_free(nullptr, current_file);
              current_file = nullptr;
              YYABORT;
          }
      }
      properties FILE_CLOSE
    ;

properties
    : property properties
    | property
    ;

property
    : SITEPATH '=' STRING   { replace_string(&current_file->sitepath, $3); }
    | LOCALPATH '=' STRING  { replace_string(&current_file->localpath, $3); }
    | MD5 '=' STRING        {
                                bool valid = decode_digest(current_file->md5, $3);
                                free($3);
                                if (!valid) YYABORT;
                            }
    | SIZE '=' STRING       { current_file->size = decimal_value($3); free($3); }
    | TIME '=' STRING       { current_file->time = decimal_value($3); free($3); }
    | EXEC '=' STRING STRING {
                                set_exec_order(current_file, $3, $4);
                                free($3);
                                free($4);
                            }
    | STRING '=' STRING     { free($1); free($3); }
    ;

%%

// A broken file reaches the user through the loader's error event only.
static void infoerror(const char *) {}

static void replace_string(char **field, char *value) {
    free(*field);
    *field = value;
}

// Decimal conversion in the manner of strtol, clamped to 32 bits.
static int32_t decimal_value(const char *text) {
    long number = strtol(text, nullptr, 10);
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

// Anything but exactly 32 hexadecimal digits, in either case, is refused
// before md5_unhex reads 32 characters.
static bool decode_digest(uint8_t *digest, const char *text) {
    size_t length = 0;
    for (; text[length] != '\0'; length++) {
        const char c = text[length];
        const char lower = static_cast<char>(c | 0x20);
        if (length == 32 || !((c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'f'))) return false;
    }
    if (length != 32) return false;
    md5_unhex(digest, text);
    return true;
}

// `exec = pre n` stores -n, `exec = post n` stores n; other words change
// nothing.
static void set_exec_order(FileRecord *file, const char *when, const char *number) {
    int64_t value = decimal_value(number);
    if (strcasecmp(when, "pre") == 0) {
        value = -value;
    } else if (strcasecmp(when, "post") != 0) {
        return;
    }
    if (value > INT32_MAX) value = INT32_MAX;
    file->order = static_cast<int32_t>(value);
}
