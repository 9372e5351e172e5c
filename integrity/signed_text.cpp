// The readers of the signed texts: hex, decimals, words and lines.
#include "integrity/signed_text.h"

#include <charconv>
#include <limits>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case too: one spelling per value
}

}  // namespace

bool read_hex(std::string_view text, uint8_t *bytes, size_t size) {
    if (text.size() != 2 * size) return false;
    for (size_t i = 0; i < size; i++) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

bool read_decimal(std::string_view text, int64_t max, int64_t &value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= max;
}

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

bool keyword(std::string_view &line, std::string_view word) {
    if (line.substr(0, word.size()) != word || line.size() <= word.size() ||
        line[word.size()] != ' ')
        return false;
    line.remove_prefix(word.size() + 1);
    return true;
}

bool LineReader::line(std::string_view &line) {
    const size_t end = text_.find('\n', offset_);
    missing_ = end == std::string_view::npos;
    if (missing_) return false;
    line = text_.substr(offset_, end - offset_);
    line_start_ = offset_;
    offset_ = end + 1;
    number_++;
    return true;
}

std::string LineReader::expected(std::string_view what) const {
    return "line " + std::to_string(number_ + (missing_ ? 1 : 0)) + ": expected '" +
           std::string(what) + "'";
}

std::string LineReader::wrong(std::string_view what) const {
    return "line " + std::to_string(number_) + ": " + std::string(what);
}

std::string read_opening(std::string_view text, uint32_t limit, std::string_view header,
                         LineReader &reader, int64_t &serial) {
    if (text.size() > limit) return "larger than " + std::to_string(limit) + " bytes";
    std::string_view line;
    if (!reader.line(line) || line != header) return reader.expected(header);
    if (!reader.line(line) || !keyword(line, "serial") ||
        !read_decimal(line, std::numeric_limits<int64_t>::max(), serial))
        return reader.expected("serial <decimal>");
    return "";
}

std::string read_close(const LineReader &reader, std::string_view line,
                       std::array<uint8_t, 8> &keyid, std::array<uint8_t, 64> &signature,
                       size_t &signed_length) {
    std::string_view algorithm, id;
    if (!keyword(line, "signature") || !next_word(line, algorithm) || algorithm != "ed25519" ||
        !next_word(line, id) || !read_hex(id, keyid) || !read_hex(line, signature))
        return reader.expected(kSignatureLine);
    if (!reader.at_end()) return reader.wrong("text after the signature");
    signed_length = reader.line_start();
    return "";
}
