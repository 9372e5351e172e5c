// Reader of the mirror description: splits lines into words, builds the
// modules and files, and refuses anything the catalogue could not carry or
// the updater would misread.
#include "tools/mirror_desc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>

namespace {

constexpr size_t kMaxLine = 4096;

// Expansions the updater knows; anything else would be installed literally.
constexpr std::string_view kPlaceholders[] = {"${INSTALL}", "${PLATFORM}", "${DATADIR}",
                                              "${CONFDIR}", "${BINDIR}"};

struct Reader {
    MirrorDesc *desc;
    std::string *error;
    int line = 0;
    DescModule *module = nullptr;  // the module that require/needs/file lines go to
    int catalogue_line = 0;
    int kit_line = 0;
    int update_line = 0;
};

int problem(Reader *reader, const std::string &message) {
    *reader->error = reader->desc->path + ":" + std::to_string(reader->line) + ": " + message;
    return -1;
}

// Splits a line into words: blanks separate, "..." holds blanks or nothing,
// a word starting with '#' begins a comment.
int split(Reader *reader, std::string_view text, std::vector<std::string> *words) {
    size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == ' ' || c == '\t' || c == '\r') {
            at++;
            continue;
        }
        if (c == '#') break;
        std::string word;
        if (c == '"') {
            const size_t end = text.find('"', at + 1);
            if (end == std::string_view::npos) return problem(reader, "unterminated quoted word");
            word = text.substr(at + 1, end - at - 1);
            at = end + 1;
            if (at < text.size() && text[at] != ' ' && text[at] != '\t' && text[at] != '\r') {
                return problem(reader, "a quoted word must be followed by a blank");
            }
        } else {
            const size_t end = text.find_first_of(" \t\r", at);
            word = text.substr(at, end == std::string_view::npos ? end : end - at);
            at = end == std::string_view::npos ? text.size() : end;
            if (word.find('"') != std::string::npos) {
                return problem(reader, "double quote inside the word '" + word + "'");
            }
        }
        for (unsigned char byte : word) {
            if (byte < 0x20 || byte == 0x7f) return problem(reader, "control character in a word");
        }
        words->push_back(std::move(word));
    }
    return 0;
}

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '+';
}

// Mirror paths travel in FTP commands and HTTP request lines unescaped, so
// they keep to characters that need no escaping anywhere.
int check_sitepath(Reader *reader, const std::string &path) {
    if (path.front() == '/') return problem(reader, "mirror path '" + path + "' is absolute");
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view part(path.data() + start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return problem(reader, "mirror path '" + path + "' has an empty, '.' or '..' part");
        }
        for (char c : part) {
            if (!is_name_char(c) && c != '~') {
                return problem(reader, "mirror path '" + path +
                                           "' may hold only letters, digits and . _ - + ~ /");
            }
        }
        start = end + 1;
    }
    const MirrorDesc &desc = *reader->desc;
    const std::string first = path.substr(0, path.find('/'));
    if (path == desc.catalogue || path == desc.catalogue + kManifestSuffix ||
        path == desc.catalogue + kDeltaSuffix || first == kMirrorMarker || first == kPatchFolder) {
        return problem(reader, "mirror path '" + path + "' is reserved");
    }
    return 0;
}

// Backslashes are refused because a quoted catalogue value ending in one
// would swallow the rest of the line.
int check_text(Reader *reader, const std::string &text, const char *what) {
    if (text.find('\\') != std::string::npos) {
        return problem(reader, std::string(what) + " '" + text + "' holds a backslash");
    }
    return 0;
}

int check_localpath(Reader *reader, const std::string &path) {
    if (path.empty()) return 0;
    if (check_text(reader, path, "installation path") < 0) return -1;
    if (path.front() != '/' && !path.starts_with("${")) {
        return problem(reader, "installation path '" + path +
                                   "' must start with '/' or a placeholder such as ${BINDIR}");
    }
    for (size_t at = path.find("${"); at != std::string::npos; at = path.find("${", at + 2)) {
        bool known = false;
        for (std::string_view placeholder : kPlaceholders) {
            known = known || std::string_view(path).substr(at).starts_with(placeholder);
        }
        if (!known) {
            return problem(reader, "installation path '" + path +
                                       "' uses an unknown placeholder; known are ${BINDIR}, "
                                       "${DATADIR}, ${CONFDIR}, ${INSTALL} and ${PLATFORM}");
        }
    }
    return 0;
}

int check_module_name(Reader *reader, const std::string &name) {
    if (name.empty()) return problem(reader, "empty module name");
    for (char c : name) {
        if (!is_name_char(c)) {
            return problem(reader,
                           "module name '" + name + "' may hold only letters, digits and . _ - +");
        }
    }
    // The updater adds a module of this name for the user's selection.
    if (name == "nerio") return problem(reader, "module name 'nerio' is reserved");
    return 0;
}

int parse_order(Reader *reader, const std::string &kind, const std::string &text, int32_t *order) {
    char *end = nullptr;
    errno = 0;
    const long value = text.empty() ? 0 : strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > kMaxProgramOrder) {
        return problem(reader, "'" + kind + "' needs a number from 1 to " +
                                   std::to_string(kMaxProgramOrder) + ", not '" + text + "'");
    }
    *order = static_cast<int32_t>(kind == "pre" ? -value : value);
    return 0;
}

// The words after SITEPATH LOCALPATH: signed, pre N, post N, from SOURCE.
int parse_file_options(Reader *reader, const std::vector<std::string> &words, size_t from,
                       DescFile *file, bool allow_programs) {
    bool has_source = false;
    for (size_t i = from; i < words.size(); i++) {
        const std::string &word = words[i];
        if (word == "signed" && allow_programs) {
            if (file->sign) return problem(reader, "'signed' given twice");
            file->sign = true;
        } else if ((word == "pre" || word == "post") && allow_programs) {
            if (file->order != 0) return problem(reader, "more than one of 'pre' and 'post'");
            if (i + 1 >= words.size()) return problem(reader, "'" + word + "' needs a number");
            if (parse_order(reader, word, words[i + 1], &file->order) < 0) return -1;
            i++;
        } else if (word == "from") {
            if (has_source) return problem(reader, "'from' given twice");
            if (i + 1 >= words.size() || words[i + 1].empty()) {
                return problem(reader, "'from' needs a file name");
            }
            file->source = words[++i];
            has_source = true;
        } else {
            return problem(reader, "unexpected word '" + word + "'");
        }
    }
    if (file->sitepath.empty()) {
        if (has_source || file->sign) {
            return problem(reader,
                           "an entry without mirror path publishes nothing: no 'from' "
                           "or 'signed'");
        }
        if (file->order == 0 || file->localpath.empty()) {
            return problem(reader,
                           "an entry without mirror path must be a 'pre' or 'post' "
                           "program with an installation path");
        }
        return 0;
    }
    if (check_sitepath(reader, file->sitepath) < 0) return -1;
    if (!has_source) file->source = file->sitepath;
    return 0;
}

int parse_entry(Reader *reader, const std::vector<std::string> &words, DescFile *file,
                bool allow_programs) {
    if (words.size() < 3) {
        return problem(reader, "'" + words[0] + "' needs a mirror path and an installation path");
    }
    file->sitepath = words[1];
    file->localpath = words[2];
    file->line = reader->line;
    if (check_localpath(reader, file->localpath) < 0) return -1;
    return parse_file_options(reader, words, 3, file, allow_programs);
}

int parse_names(Reader *reader, const std::vector<std::string> &words,
                std::vector<std::string> *names) {
    if (words.size() < 2) return problem(reader, "'" + words[0] + "' needs module names");
    for (size_t i = 1; i < words.size(); i++) {
        if (check_module_name(reader, words[i]) < 0) return -1;
        names->push_back(words[i]);
    }
    return 0;
}

// Settings that may appear once, anywhere before or between the modules.
int once(Reader *reader, int *seen, const std::string &keyword) {
    if (*seen != 0) {
        return problem(
            reader, "'" + keyword + "' given again (first on line " + std::to_string(*seen) + ")");
    }
    *seen = reader->line;
    return 0;
}

int parse_line(Reader *reader, const std::vector<std::string> &words) {
    MirrorDesc *desc = reader->desc;
    const std::string &keyword = words[0];
    if (keyword == "catalogue") {
        if (once(reader, &reader->catalogue_line, keyword) < 0) return -1;
        if (words.size() != 2) return problem(reader, "'catalogue' needs one file name");
        const std::string &name = words[1];
        bool good = !name.empty() && name.front() != '.';
        for (char c : name) good = good && is_name_char(c);
        if (!good) {
            return problem(reader, "catalogue name '" + name +
                                       "' must be one file name of letters, digits and . _ - +, "
                                       "not starting with '.'");
        }
        desc->catalogue = name;
        return 0;
    }
    if (keyword == "kit") {
        if (once(reader, &reader->kit_line, keyword) < 0) return -1;
        if (words.size() != 2)
            return problem(reader, "'kit' needs one name (quote it if it has blanks)");
        if (check_text(reader, words[1], "kit name") < 0) return -1;
        desc->kit_name = words[1];
        desc->has_kit_name = true;
        return 0;
    }
    if (keyword == "update") {
        if (once(reader, &reader->update_line, keyword) < 0) return -1;
        desc->has_update = true;
        // Only a listed digest can tell the updater that it is current.
        if (words.size() < 3 || words[1].empty() || words[2].empty()) {
            return problem(reader, "'update' needs a mirror path and an installation path");
        }
        return parse_entry(reader, words, &desc->update, false);
    }
    if (keyword == "module") {
        if (words.size() != 2) return problem(reader, "'module' needs one name");
        if (check_module_name(reader, words[1]) < 0) return -1;
        for (const DescModule &other : desc->modules) {
            if (other.name == words[1]) {
                return problem(reader, "module '" + words[1] + "' already described on line " +
                                           std::to_string(other.line));
            }
        }
        desc->modules.emplace_back();
        reader->module = &desc->modules.back();
        reader->module->name = words[1];
        reader->module->line = reader->line;
        return 0;
    }
    if (keyword == "require" || keyword == "needs") {
        if (reader->module == nullptr) return problem(reader, "'" + keyword + "' outside a module");
        return parse_names(
            reader, words,
            keyword == "require" ? &reader->module->requires_ : &reader->module->needs);
    }
    if (keyword == "file") {
        if (reader->module == nullptr) return problem(reader, "'file' outside a module");
        DescFile file;
        if (parse_entry(reader, words, &file, true) < 0) return -1;
        reader->module->files.push_back(std::move(file));
        return 0;
    }
    return problem(reader, "unknown keyword '" + keyword + "'");
}

// Two entries with one mirror path would share the updater's temporary copy.
int check_unique_sitepaths(Reader *reader) {
    std::map<std::string, int> lines;
    const MirrorDesc &desc = *reader->desc;
    std::vector<const DescFile *> all;
    if (desc.has_update) all.push_back(&desc.update);
    for (const DescModule &module : desc.modules) {
        for (const DescFile &file : module.files) all.push_back(&file);
    }
    for (const DescFile *file : all) {
        if (file->sitepath.empty()) continue;
        auto [it, fresh] = lines.emplace(file->sitepath, file->line);
        if (!fresh) {
            reader->line = file->line;
            return problem(reader, "mirror path '" + file->sitepath + "' already listed on line " +
                                       std::to_string(it->second));
        }
    }
    return 0;
}

}  // namespace

int mirror_desc_load(const char *path, MirrorDesc *desc, std::string *error) {
    *desc = MirrorDesc{};
    desc->path = path;
    const char *slash = strrchr(path, '/');
    desc->base = slash == nullptr ? "." : std::string(path, slash == path ? 1 : slash - path);
    Reader reader{desc, error};
    FILE *stream = fopen(path, "r");
    if (stream == nullptr) {
        *error = std::string("cannot open ") + path + ": " + strerror(errno);
        return -1;
    }
    char buffer[kMaxLine + 2];
    int result = 0;
    while (result == 0 && fgets(buffer, sizeof buffer, stream) != nullptr) {
        reader.line++;
        std::string_view text(buffer);
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
        } else if (!feof(stream)) {
            result = problem(&reader, "line longer than " + std::to_string(kMaxLine) + " bytes");
            break;
        }
        std::vector<std::string> words;
        result = split(&reader, text, &words);
        if (result == 0 && !words.empty()) result = parse_line(&reader, words);
    }
    if (result == 0 && ferror(stream)) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        result = -1;
    }
    fclose(stream);
    if (result == 0 && desc->modules.empty()) {
        *error = desc->path + ": the description lists no module";
        result = -1;
    }
    if (result == 0) result = check_unique_sitepaths(&reader);
    return result;
}

namespace {

// Depth-first walk over require and needs together: 1 on the current
// path, 2 done. The path is kept to name the cycle.
int walk(const MirrorDesc &desc, const std::map<std::string, size_t> &index, size_t at,
         std::vector<int> *marks, std::vector<std::string> *path, std::string *error) {
    const DescModule &module = desc.modules[at];
    if ((*marks)[at] == 2) return 0;
    path->push_back(module.name);
    if ((*marks)[at] == 1) {
        std::string cycle;
        size_t from = 0;
        while (path->at(from) != module.name) from++;
        for (size_t i = from; i < path->size(); i++)
            cycle += (i > from ? " -> " : "") + path->at(i);
        *error = desc.path + ":" + std::to_string(module.line) + ": dependency cycle: " + cycle;
        return -1;
    }
    (*marks)[at] = 1;
    for (const auto *names : {&module.requires_, &module.needs}) {
        for (const std::string &name : *names) {
            auto found = index.find(name);
            if (found == index.end()) {
                *error = desc.path + ":" + std::to_string(module.line) + ": module '" +
                         module.name + "' depends on '" + name + "', which is not described";
                return -1;
            }
            if (walk(desc, index, found->second, marks, path, error) < 0) return -1;
        }
    }
    (*marks)[at] = 2;
    path->pop_back();
    return 0;
}

}  // namespace

int mirror_desc_check_dependencies(const MirrorDesc &desc, std::string *error) {
    std::map<std::string, size_t> index;
    for (size_t i = 0; i < desc.modules.size(); i++) index.emplace(desc.modules[i].name, i);
    std::vector<int> marks(desc.modules.size(), 0);
    for (size_t i = 0; i < desc.modules.size(); i++) {
        std::vector<std::string> path;
        if (walk(desc, index, i, &marks, &path, error) < 0) return -1;
    }
    return 0;
}
