/* Grammar of the configuration file and the actions that apply its sections
   and assignments to a configuration model. */
%code top {
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

// Both lists are right-recursive, so every section and option of a file stays
// on the stack until its end: this bounds the size of a file.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%code requires {
#include <deque>
#include <string>

#include "config/updconfig.h"
}

%code provides {
extern FILE *cfgin;
extern int32_t config_line;
// The words the scanner read, which the semantic values point into; they
// stay until the loader clears them after the parse.
extern std::deque<std::string> config_words;
int cfglex(void);
int cfglex_destroy(void);
}

%code {
static void cfgerror(Config *config, const char *message);
static void select_section(Config *config, const char *name);
static void assign_option(Config *config, const char *name, const char *value);
static void missing_value(Config *config, const char *name);
static void missing_equals(Config *config, const char *word);
}

%define api.prefix {cfg}
%parse-param {Config *config}

%union {
    const char *string;
}

%token <string> SECTION WORD

%%

file
    : sections
    ;

sections
    : section sections
    | %empty
    ;

section
    : SECTION { select_section(config, $1); } options
    ;

options
    : option options
    | %empty
    ;

option
    : WORD '=' WORD     { assign_option(config, $1, $3); }
    | WORD '=' error    { missing_value(config, $1); }
    | WORD error        { missing_equals(config, $1); }
    ;

%%

// Syntax errors are silent: what the user sees comes from the error rules.
static void cfgerror(Config *, const char *) {}

static void select_section(Config *config, const char *name) {
    const ConfigSection *section = config_find_section(config, name);
    if (section == nullptr) {
        fprintf(stderr, "Fatal error:Line %d: Unknown section name '[%s]'\n", config_line, name);
        config->errors++;
        return;
    }
    config->current_section = section;
}

// Decimal conversion in the manner of atoi, clamped to 32 bits.
static int32_t number_value(const char *word) {
    long number = strtol(word, nullptr, 10);
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

// A whole decimal word within the range, into `number`.
static bool number_in_range(const char *word, const NumberRange &range, int32_t &number) {
    char *end = nullptr;
    errno = 0;
    const long long value = strtoll(word, &end, 10);
    if ((*word != '-' && (*word < '0' || *word > '9')) || *end != '\0' || errno != 0 ||
        value < range.lowest || value > range.highest)
        return false;
    number = static_cast<int32_t>(value);
    return true;
}

static void assign_option(Config *config, const char *name, const char *value) {
    // Without a selected section (the first header was unknown) there is
    // nothing to look in; the file is rejected already.
    if (config->current_section == nullptr) return;
    const char *section_name = config->current_section->name.c_str();
    ConfigOption *option = config_find_option(config, section_name, name);
    if (option == nullptr) {
        fprintf(stderr, "Section [%s]:Line %d: Unknown option '%s'\n", section_name, config_line,
                name);
        return;
    }
    option->line = config_line;
    switch (option->type) {
        case ConfigType::kString:
            option->value.string = value;
            break;
        case ConfigType::kNumber:
            if (!option->range) {
                option->value.number = number_value(value);
            } else if (!number_in_range(value, *option->range, option->value.number)) {
                fprintf(stderr,
                        "Section [%s]:Line %d: Bad value '%s' for %s. Please use a number from %d "
                        "to %d\n",
                        section_name, config_line, value, name, option->range->lowest,
                        option->range->highest);
                config->errors++;
            }
            break;
        case ConfigType::kBoolean:
            option->value.number = parse_boolean(value);
            if (option->value.number == -1) {
                fprintf(stderr, "Section [%s]:Line %d: Unknown boolean value '%s'. Please use on/off\n",
                        section_name, config_line, value);
                config->errors++;
            }
            break;
    }
}

static void missing_value(Config *config, const char *name) {
    config->errors++;
    if (config->current_section == nullptr) return;
    fprintf(stderr, "Section [%s]: Line %d: Missing string after %s '='\n",
            config->current_section->name.c_str(), config_line, name);
}

static void missing_equals(Config *config, const char *word) {
    config->errors++;
    if (config->current_section == nullptr) return;
    const char *section_name = config->current_section->name.c_str();
    if (config_find_option(config, section_name, word) != nullptr) {
        fprintf(stderr, "Section [%s]: Line %d: After '%s' you should add '='\n", section_name,
                config_line, word);
    } else {
        fprintf(stderr, "Section [%s]: Line %d: Please enquote the string that contains '%s'\n",
                section_name, config_line, word);
    }
}
