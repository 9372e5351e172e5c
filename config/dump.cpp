// Writing a configuration model as a commented configuration file: help
// texts as comments, defaults commented out, changed values active.
#include "config/updconfig.h"

#include <cstring>

namespace {

// Every line of a help text stays a comment.
void help_dump(FILE *stream, const char *help) {
    for (const char *c = help; *c != '\0'; c++) {
        if (*c == '\n') {
            fprintf(stream, "%c#", *c);
        } else {
            fprintf(stream, "%c", *c);
        }
    }
}

const char *boolean_word(int32_t value) {
    return value != 0 ? "on" : "off";
}

void string_dump(FILE *stream, const ConfigOption *option) {
    const char *value = option->value.string != nullptr ? option->value.string : "";
    const char *fallback =
        option->default_value.string != nullptr ? option->default_value.string : "";
    const char *comment = strcmp(value, fallback) == 0 ? "#" : "";
    fprintf(stream, "# Type: string\n");
    // Characters that a shell or a reader would take specially get quotes.
    if (strpbrk(value, " $#%&*()\t") != nullptr) {
        fprintf(stream, "# Default value: \"%s\"\n", fallback);
        fprintf(stream, "%s %s=\"%s\"\n", comment, option->name, value);
    } else {
        fprintf(stream, "# Default value: %s\n", fallback);
        fprintf(stream, "%s %s=%s\n", comment, option->name, value);
    }
}

}  // namespace

int option_dump(FILE *stream, ConfigOption *option) {
    fprintf(stream, "#\n# Option '%s'\n", option->name);
    if (option->help != nullptr) {
        fprintf(stream, "#\t");
        help_dump(stream, option->help);
    }
    fprintf(stream, "\n");
    switch (option->type) {
        case CONFIG_STRING:
            string_dump(stream, option);
            break;
        case CONFIG_NUMBER:
            fprintf(stream, "# Type: number\n# Default value: %d\n", option->default_value.number);
            fprintf(stream, "%s %s=%d\n",
                    option->value.number == option->default_value.number ? "#" : "", option->name,
                    option->value.number);
            break;
        case CONFIG_BOOLEAN:
            fprintf(stream, "# Type: boolean\n# Default value: %s\n",
                    boolean_word(option->default_value.number));
            fprintf(stream, "%s %s=%s\n",
                    option->value.number == option->default_value.number ? "#" : "", option->name,
                    boolean_word(option->value.number));
            break;
        default:
            break;
    }
    fprintf(stream, "\n");
    return 0;
}

int section_dump(FILE *stream, ConfigSection *section) {
    fprintf(stream, "[%s]\n#", section->name);
    if (section->help != nullptr) help_dump(stream, section->help);
    fprintf(stream, "\n\n");
    for (int32_t i = 0; i < section->count; i++) option_dump(stream, section->options[i]);
    fprintf(stream, "\n");
    return 0;
}

int config_dump(FILE *stream, Config *config) {
    for (int32_t i = 0; i < config->count; i++) section_dump(stream, config->sections[i]);
    fflush(stream);
    return 0;
}
