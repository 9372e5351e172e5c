/* Grammar of the configuration file and the actions that apply its sections
   and assignments to a configuration model. */
%code top {
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Both lists are right-recursive, so every section and option of a file stays
// on the stack until its end: this bounds the size of a file.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%code requires {
#include "config/updconfig.h"
}

%code provides {
extern FILE *cfgin;
extern int32_t config_line;
int cfglex(void);
int cfglex_destroy(void);
}

%code {
static void cfgerror(Config *config, const char *message);
static void select_section(Config *config, const char *name);
static void assign_option(Config *config, char *name, char *value);
static void missing_value(Config *config, const char *name);
static void missing_equals(Config *config, const char *word);
}

%define api.prefix {cfg}
%parse-param {Config *config}

%union {
    char *string;
}

%token <string> SECTION WORD
%destructor { free($$); } <string>

%%

file
    : sections
    ;

sections
    : section sections
    | %empty
    ;

section
    : SECTION { select_section(config, $1); free($1); $1 = nullptr; } options
    ;

options
    : option options
    | %empty
    ;

option
    : WORD '=' WORD     { assign_option(config, $1, $3); }
    | WORD '=' error    { missing_value(config, $1); free($1); }
    | WORD error        { missing_equals(config, $1); free($1); }
    ;

%%

// Syntax errors are silent: what the user sees comes from the error rules.
static void cfgerror(Config *, const char *) {}

static void select_section(Config *config, const char *name) {
    ConfigSection *section = config_find_section(config, name);
    if (section == nullptr) {
        fprintf(stderr, "Fatal error:Line %d: Unknown section name '[%s]'\n", config_line, name);
        config->errors++;
        return;
    }
    config->current_section = section->name;
}

// Decimal conversion in the manner of atoi, clamped to 32 bits.
static int32_t number_value(const char *word) {
    long number = strtol(word, nullptr, 10);
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

// Takes ownership of both words.
static void assign_option(Config *config, char *name, char *value) {
    // Without a selected section (the first header was unknown) there is
    // nothing to look in; the file is rejected already.
    if (config->current_section == nullptr) {
        free(name);
        free(value);
        return;
    }
    ConfigOption *option = config_find_option(config, config->current_section, name);
    if (option == nullptr) {
        fprintf(stderr, "Section [%s]:Line %d: Unknown option '%s'\n", config->current_section,
                config_line, name);
        free(name);
        free(value);
        return;
    }
    option->line = config_line;
    switch (option->type) {
        case CONFIG_STRING:
            free(option->value.string);
            option->value.string = value;
            value = nullptr;
            break;
        case CONFIG_NUMBER:
            option->value.number = number_value(value);
            break;
        case CONFIG_BOOLEAN:
            option->value.number = parse_boolean(value);
            if (option->value.number == -1) {
                fprintf(stderr, "Section [%s]:Line %d: Unknown boolean value '%s'. Please use on/off\n",
                        config->current_section, config_line, value);
                config->errors++;
            }
            break;
        default:
            break;
    }
    free(name);
    free(value);
}

static void missing_value(Config *config, const char *name) {
    config->errors++;
    if (config->current_section == nullptr) return;
    fprintf(stderr, "Section [%s]: Line %d: Missing string after %s '='\n", config->current_section,
            config_line, name);
}

static void missing_equals(Config *config, const char *word) {
    config->errors++;
    if (config->current_section == nullptr) return;
    if (config_find_option(config, config->current_section, word) != nullptr) {
        fprintf(stderr, "Section [%s]: Line %d: After '%s' you should add '='\n",
                config->current_section, config_line, word);
    } else {
        fprintf(stderr, "Section [%s]: Line %d: Please enquote the string that contains '%s'\n",
                config->current_section, config_line, word);
    }
}
