// Digests and big numbers against independent references: the RFC 1321 suite
// and Python's pow (number_vectors.inc, from gen_number_vectors.py). LZSS and
// signatures are checked end to end, against openssl and a decoder of its own.
#include <gtest/gtest.h>

#include <cstring>

#include "integrity/md5.h"
#include "integrity/number.h"
#include "tests/unit/test_util.h"

namespace {
#include "number_vectors.inc"

std::string md5_of(const Bytes &data, size_t cut = 0) {
    Md5Context context;
    md5_init(&context);
    md5_update(&context, data.data(), static_cast<uint32_t>(cut));
    md5_update(&context, data.data() + cut, static_cast<uint32_t>(data.size() - cut));
    uint8_t digest[kMd5DigestSize];
    md5_final(digest, &context);
    char text[kMd5HexSize];
    md5_hex(text, digest);
    return text;
}

TEST(Md5, Rfc1321SuiteInPiecesOfEverySplit) {
    const std::pair<std::string, const char *> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"}};
    for (const auto &[text, expected] : suite) {
        const Bytes data(text.begin(), text.end());
        for (size_t cut = 0; cut <= data.size(); cut += data.size() > 200 ? 99991 : 1)
            ASSERT_EQ(md5_of(data, cut), expected) << text.substr(0, 40) << " cut " << cut;
    }
}

TEST(Md5, FileRanges) {
    ScratchDir dir;
    const Bytes data = random_bytes(1000, 5);
    dir.write("data", data);
    dir.write("small", Bytes(100, 'x'));
    // {file, start, end, first and last byte digested; -1: refused}
    const struct {
        const char *file;
        int64_t start, end;
        long from, to;
    } cases[] = {{"data", 0, 0, 0, 1000},      {"data", 0, -128, 0, 872},
                 {"data", 100, 300, 100, 300}, {"data", 872, 0, 872, 1000},
                 {"data", 500, 500, 0, 0},     {"data", 0, 1001, -1, -1},
                 {"data", 301, 300, -1, -1},   {"data", 0, -1001, -1, -1},
                 {"missing", 0, 0, -1, -1},    {"small", 0, -128, -1, -1}};
    for (const auto &c : cases) {
        uint8_t digest[kMd5DigestSize];
        const int result = md5_file(dir.file(c.file).c_str(), digest, c.start, c.end);
        ASSERT_EQ(result, c.from < 0 ? -1 : 0) << c.file << " " << c.start << " " << c.end;
        if (c.from < 0) continue;
        char text[kMd5HexSize];
        md5_hex(text, digest);
        EXPECT_EQ(text, md5_of(Bytes(data.begin() + c.from, data.begin() + c.to)));
    }
}

Number number_from_hex(const std::string &hex) {
    Number n = {};
    for (size_t i = 0; i < hex.size(); i++) {
        const char c = hex[hex.size() - 1 - i];
        const auto v = static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        n.words[i / 8] |= v << (4 * (i % 8));
    }
    return n;
}

std::string number_to_hex(const Number &n) {
    std::string hex;
    for (int i = kNumberWords * 8 - 1; i >= 0; i--) {
        const uint32_t v = (n.words[i / 8] >> (4 * (i % 8))) & 15;
        if (v != 0 || !hex.empty()) hex.push_back("0123456789abcdef"[v]);
    }
    return hex.empty() ? "0" : hex;
}

TEST(Number, PowersMatchPythonAndImagesStayWithinTheirCapacity) {
    for (const ModexpVector &v : kModexpVectors) {
        Number base = number_from_hex(v.base);
        const Number exponent = number_from_hex(v.exponent), modulus = number_from_hex(v.modulus);
        ASSERT_EQ(number_modexp(&base, &exponent, &modulus), 0);
        EXPECT_EQ(number_to_hex(base), v.result)
            << v.base << " ^ " << v.exponent << " % " << v.modulus;
        EXPECT_EQ(number_to_hex(exponent), v.exponent);
    }
    Number five = number_from_hex("5"), three = number_from_hex("3"), zero = {};
    EXPECT_EQ(number_modexp(&five, &three, &zero), -1);

    const Bytes data = random_bytes(256, 99);
    Number n;
    ASSERT_EQ(number_from_bytes(&n, data.data(), 256), 0);
    Bytes back(256, 0x55);
    uint32_t size = 256;
    ASSERT_EQ(number_to_bytes(&n, back.data(), &size), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(number_from_bytes(&n, Bytes(257, 1).data(), 257), -1);
    // Images are whole words, and never longer than the room given.
    n = number_from_hex("100000000000000000000000000000000");  // bit 128
    size = 19;
    EXPECT_EQ(number_to_bytes(&n, back.data(), &size), -1);
    EXPECT_EQ(back[0], data[0]);
    n = number_from_hex("201");
    size = 8;
    ASSERT_EQ(number_to_bytes(&n, back.data(), &size), 0);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 5), (Bytes{0x01, 0x02, 0, 0, data[4]}));
    EXPECT_EQ(size, 4u);
}

}  // namespace
