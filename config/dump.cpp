// Writing a configuration model as a commented configuration file: help
// texts as comments, defaults commented out, changed values active.
#include "config/updconfig.h"

#include <cstring>

namespace {

// Every line of a help text stays a comment.
void help_dump(FILE *stream, const std::string &help) {
    for (const char c : help) {
        if (c == '\n') {
            fprintf(stream, "%c#", c);
        } else {
            fprintf(stream, "%c", c);
        }
    }
}

const char *boolean_word(int32_t value) {
    return value != 0 ? "on" : "off";
}

void string_dump(FILE *stream, const ConfigOption &option) {
    const char *value = option.value.string.c_str();
    const char *fallback = option.default_value.string.c_str();
    const char *comment = strcmp(value, fallback) == 0 ? "#" : "";
    fprintf(stream, "# Type: string\n");
    // Characters that a shell or a reader would take specially get quotes
    // (brackets: an IPv6 proxy would otherwise read as a section), and so
    // does an empty value, which the reader takes only quoted.
    if (*value == '\0' || strpbrk(value, " $#%&*()[]\t") != nullptr) {
        fprintf(stream, "# Default value: \"%s\"\n", fallback);
        fprintf(stream, "%s %s=\"%s\"\n", comment, option.name.c_str(), value);
    } else {
        fprintf(stream, "# Default value: %s\n", fallback);
        fprintf(stream, "%s %s=%s\n", comment, option.name.c_str(), value);
    }
}

}  // namespace

int option_dump(FILE *stream, const ConfigOption &option) {
    fprintf(stream, "#\n# Option '%s'\n", option.name.c_str());
    fprintf(stream, "#\t");
    help_dump(stream, option.help);
    fprintf(stream, "\n");
    const bool unchanged = option.value.number == option.default_value.number;
    switch (option.type) {
        case ConfigType::kString:
            string_dump(stream, option);
            break;
        case ConfigType::kNumber:
            fprintf(stream, "# Type: number\n# Default value: %d\n", option.default_value.number);
            fprintf(stream, "%s %s=%d\n", unchanged ? "#" : "", option.name.c_str(),
                    option.value.number);
            break;
        case ConfigType::kBoolean:
            fprintf(stream, "# Type: boolean\n# Default value: %s\n",
                    boolean_word(option.default_value.number));
            fprintf(stream, "%s %s=%s\n", unchanged ? "#" : "", option.name.c_str(),
                    boolean_word(option.value.number));
            break;
    }
    fprintf(stream, "\n");
    return 0;
}

int section_dump(FILE *stream, const ConfigSection &section) {
    fprintf(stream, "[%s]\n#", section.name.c_str());
    help_dump(stream, section.help);
    fprintf(stream, "\n\n");
    for (const ConfigOption &option : section.options) option_dump(stream, option);
    fprintf(stream, "\n");
    return 0;
}

int config_dump(FILE *stream, const Config &config) {
    for (const ConfigSection &section : config.sections) section_dump(stream, section);
    fflush(stream);
    return 0;
}
