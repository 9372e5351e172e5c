// The readers shared by the signed texts beside the catalogue (the manifest
// and the patch index): one spelling per value, so that what a parser
// accepts its writer gives back byte for byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Lower-case hex of exactly 2 * size digits into bytes; upper case is
// refused too.
bool read_hex(std::string_view text, uint8_t *bytes, size_t size);
template <size_t N>
bool read_hex(std::string_view text, std::array<uint8_t, N> &bytes) {
    return read_hex(text, bytes.data(), N);
}

// A decimal without sign or leading zero, at most `max`.
bool read_decimal(std::string_view text, int64_t max, int64_t &value);

// Splits off the text up to the next space; false when there is none.
bool next_word(std::string_view &rest, std::string_view &word);

// Only the characters 0x20 .. 0x7e.
bool printable(std::string_view text);

// Takes "word " off the front of the line; false (line untouched) when the
// line does not start so or holds nothing after it.
bool keyword(std::string_view &line, std::string_view word);

// The lines of a text, each ended by LF, with the messages that name them.
class LineReader {
   public:
    explicit LineReader(std::string_view text) : text_(text) {}

    // The next line without its LF; false at the end or when the last
    // line has no LF.
    bool line(std::string_view &line);
    bool at_end() const { return offset_ == text_.size(); }
    size_t line_start() const { return line_start_; }
    std::string expected(std::string_view what) const;
    std::string wrong(std::string_view what) const;

   private:
    std::string_view text_;
    size_t offset_ = 0;
    size_t line_start_ = 0;
    int number_ = 0;
    bool missing_ = false;  // the last line asked for was not there
};

constexpr std::string_view kSignatureLine = "signature ed25519 <keyid> <signature>";

// The opening of a signed text: at most `limit` bytes, the `header` line,
// then "serial <decimal>". "" or the reason.
std::string read_opening(std::string_view text, uint32_t limit, std::string_view header,
                         LineReader &reader, int64_t &serial);

// The close of a signed text: `line`, just read, is its signature line and
// nothing follows. "" with the length signed, or the reason.
std::string read_close(const LineReader &reader, std::string_view line,
                       std::array<uint8_t, 8> &keyid, std::array<uint8_t, 64> &signature,
                       size_t &signed_length);
