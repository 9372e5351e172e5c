// The manifest's text: one strict reading, one writing.
#include "integrity/manifest.h"

#include <charconv>
#include <limits>
#include <unordered_set>

namespace {

constexpr std::string_view kHeader = "qavo-manifest 1";
constexpr int64_t kSizeMax = std::numeric_limits<int32_t>::max();

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case too: one spelling per value
}

template <size_t N>
bool read_hex(std::string_view text, std::array<uint8_t, N> &bytes) {
    if (text.size() != 2 * N) return false;
    for (size_t i = 0; i < N; i++) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// A decimal without sign or leading zero, at most `max`.
bool read_decimal(std::string_view text, int64_t max, int64_t &value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= max;
}

// Splits off the text up to the next space; false when there is none.
bool next_word(std::string_view &rest, std::string_view &word) {
    const size_t space = rest.find(' ');
    if (space == std::string_view::npos) return false;
    word = rest.substr(0, space);
    rest.remove_prefix(space + 1);
    return true;
}

bool printable(std::string_view text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
}

class Reader {
   public:
    explicit Reader(std::string_view text) : text_(text) {}

    // The next line without its LF; false at the end or when the last
    // line has no LF.
    bool line(std::string_view &line) {
        const size_t end = text_.find('\n', offset_);
        missing_ = end == std::string_view::npos;
        if (missing_) return false;
        line = text_.substr(offset_, end - offset_);
        line_start_ = offset_;
        offset_ = end + 1;
        number_++;
        return true;
    }
    bool at_end() const { return offset_ == text_.size(); }
    size_t line_start() const { return line_start_; }
    std::string expected(std::string_view what) const {
        return "line " + std::to_string(number_ + (missing_ ? 1 : 0)) + ": expected '" +
               std::string(what) + "'";
    }
    std::string wrong(std::string_view what) const {
        return "line " + std::to_string(number_) + ": " + std::string(what);
    }

   private:
    std::string_view text_;
    size_t offset_ = 0;
    size_t line_start_ = 0;
    int number_ = 0;
    bool missing_ = false;  // the last line asked for was not there
};

bool keyword(std::string_view &line, std::string_view word) {
    if (line.substr(0, word.size()) != word || line.size() <= word.size() ||
        line[word.size()] != ' ')
        return false;
    line.remove_prefix(word.size() + 1);
    return true;
}

bool parse_file(std::string_view rest, ManifestFile &file) {
    std::string_view digest, size;
    if (!next_word(rest, digest) || !next_word(rest, size)) return false;
    if (!read_hex(digest, file.sha256) || !read_decimal(size, kSizeMax, file.size)) return false;
    if (rest.empty() || !printable(rest)) return false;
    file.sitepath = std::string(rest);
    return true;
}

bool parse_signature(std::string_view rest, Manifest &manifest) {
    std::string_view algorithm, keyid;
    return next_word(rest, algorithm) && algorithm == "ed25519" && next_word(rest, keyid) &&
           read_hex(keyid, manifest.keyid) && read_hex(rest, manifest.signature);
}

}  // namespace

std::string manifest_parse(std::string_view text, Manifest &manifest) {
    manifest = Manifest();
    if (text.size() > kManifestSizeLimit)
        return "larger than " + std::to_string(kManifestSizeLimit) + " bytes";
    Reader reader(text);
    std::string_view line;
    if (!reader.line(line) || line != kHeader) return reader.expected(kHeader);
    if (!reader.line(line) || !keyword(line, "serial") ||
        !read_decimal(line, std::numeric_limits<int64_t>::max(), manifest.serial))
        return reader.expected("serial <decimal>");
    if (!reader.line(line) || !keyword(line, "expires") ||
        !read_decimal(line, std::numeric_limits<int64_t>::max(), manifest.expires))
        return reader.expected("expires <decimal>");
    if (!reader.line(line) || !keyword(line, "catalogue") || !read_hex(line, manifest.catalogue))
        return reader.expected("catalogue <sha256>");

    std::unordered_set<std::string> seen;
    for (;;) {
        if (!reader.line(line)) return reader.expected("signature ed25519 <keyid> <signature>");
        if (keyword(line, "file")) {
            ManifestFile file;
            if (!parse_file(line, file)) return reader.expected("file <sha256> <size> <sitepath>");
            if (!seen.insert(file.sitepath).second)
                return reader.wrong("file " + file.sitepath + " listed twice");
            manifest.files.push_back(std::move(file));
            continue;
        }
        if (!keyword(line, "signature") || !parse_signature(line, manifest))
            return reader.expected("signature ed25519 <keyid> <signature>");
        break;
    }
    if (!reader.at_end()) return reader.wrong("text after the signature");
    manifest.signed_length = reader.line_start();
    return "";
}

std::string manifest_hex(const uint8_t *bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (size_t i = 0; i < size; i++) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0f];
    }
    return text;
}

std::string manifest_body(const Manifest &manifest) {
    std::string text = std::string(kHeader) + "\n";
    text += "serial " + std::to_string(manifest.serial) + "\n";
    text += "expires " + std::to_string(manifest.expires) + "\n";
    text +=
        "catalogue " + manifest_hex(manifest.catalogue.data(), manifest.catalogue.size()) + "\n";
    for (const ManifestFile &file : manifest.files) {
        text += "file " + manifest_hex(file.sha256.data(), file.sha256.size()) + " " +
                std::to_string(file.size) + " " + file.sitepath + "\n";
    }
    return text;
}

std::string manifest_signature_line(const ManifestKeyId &keyid,
                                    const ManifestSignature &signature) {
    return "signature ed25519 " + manifest_hex(keyid.data(), keyid.size()) + " " +
           manifest_hex(signature.data(), signature.size()) + "\n";
}
