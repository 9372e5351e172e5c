// Helpers shared by the integrity tests: a scratch directory, whole-file
// reads and writes, and hexadecimal numbers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "integrity/number.h"

using Bytes = std::vector<uint8_t>;

class ScratchDir {
   public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qavo-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~ScratchDir() {
        if (!path_.empty()) std::filesystem::remove_all(path_);
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

inline void write_file(const std::string &path, const Bytes &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

inline Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes bytes_of(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes random_bytes(size_t size, uint32_t seed) {
    Bytes data(size);
    uint32_t state = seed;
    for (uint8_t &byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return data;
}

// Number from big-endian hexadecimal text.
inline Number number_from_hex(const std::string &hex) {
    Number n = {};
    int bit = 0;
    for (size_t i = hex.size(); i-- > 0; bit += 4) {
        char c = hex[i];
        uint32_t v =
            c <= '9' ? static_cast<uint32_t>(c - '0') : static_cast<uint32_t>(c - 'a' + 10);
        n.words[bit / 32] |= v << (bit % 32);
    }
    return n;
}

inline std::string number_to_hex(const Number &n) {
    std::string hex;
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = kNumberWords * 8 - 1; i >= 0; i--) {
        uint32_t v = (n.words[i / 8] >> (4 * (i % 8))) & 15;
        if (v != 0 || !hex.empty()) hex.push_back(kDigits[v]);
    }
    return hex.empty() ? "0" : hex;
}
