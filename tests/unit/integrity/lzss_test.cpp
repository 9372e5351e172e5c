// LZSS: the decoder on hand-made streams, and encoder round trips of text,
// random and repetitive data, including truncated streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "integrity/lzss.h"
#include "integrity_test_util.h"

namespace {

Bytes run(int (*codec)(FILE *, FILE *), const Bytes &input) {
    // fmemopen rejects a zero size; an empty input is a stream at its end.
    static char empty = 0;
    FILE *in = input.empty() ? fmemopen(&empty, 1, "rb")
                             : fmemopen(const_cast<uint8_t *>(input.data()), input.size(), "rb");
    if (input.empty() && in != nullptr) fgetc(in);
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    EXPECT_NE(in, nullptr);
    EXPECT_NE(out, nullptr);
    if (in == nullptr || out == nullptr) return {};
    codec(in, out);
    fclose(in);
    fclose(out);
    Bytes result(buffer, buffer + size);
    free(buffer);
    return result;
}

Bytes decode(const Bytes &input) {
    return run(lzss_decode, input);
}
Bytes encode(const Bytes &input) {
    return run(lzss_encode, input);
}

TEST(LzssDecode, HandMadeStreams) {
    const std::pair<Bytes, Bytes> cases[] = {
        {{}, {}},
        {{0xff, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, bytes_of("abcdefgh")},
        {{0x00, 0x00, 0x0f}, Bytes(18, ' ')},  // the ring starts as spaces...
        {{0x00, 0xee, 0xf0}, Bytes(3, 0)},     // ...but 4078..4095 as zeros
        // 'x' lands at 4078 = 0xfee; a reference one behind repeats it 3 + 10 times.
        {{0x01, 'x', 0xee, 0xfa}, Bytes(14, 'x')},
        // Flag bits lowest first: literal, reference, six literals; a second group.
        {{0xfd, 'q', 0xee, 0xf0, 'r', 's', 't', 'u', 'v', 'w', 0x01, 'z'}, bytes_of("qqqqrstuvwz")},
        {{0x01, 'a', 0xee}, bytes_of("a")},  // a truncated reference is dropped
        {{0xff, 'a', 'b'}, bytes_of("ab")},
    };
    for (const auto &[stream, expected] : cases) EXPECT_EQ(decode(stream), expected);
}

std::string sample_text() {
    std::string text;
    for (int i = 0; i < 400; i++) {
        text += "<module name=\"engine\" version=\"" + std::to_string(i % 37) + "\">\n";
        text += "  <file path=\"BINDIR/part" + std::to_string(i) + ".dat\" size=\"" +
                std::to_string(i * 7919 % 100000) + "\"/>\n";
    }
    return text;
}

TEST(LzssRoundTrip, RandomDataOfManySizes) {
    for (size_t size : {0ul, 1ul, 2ul, 3ul, 17ul, 18ul, 19ul, 4077ul, 4078ul, 4095ul, 4096ul,
                        4097ul, 9000ul, 300000ul}) {
        Bytes data = random_bytes(size, static_cast<uint32_t>(size) + 1);
        Bytes packed = encode(data);
        EXPECT_LE(packed.size(), size + size / 8 + 1) << size;
        ASSERT_EQ(decode(packed), data) << size;
    }
}

TEST(LzssRoundTrip, TextAndRepetitiveDataCompress) {
    Bytes text = bytes_of(sample_text()), pattern, block = random_bytes(4000, 77), twice = block;
    for (int i = 0; i < 50000; i++) pattern.push_back(static_cast<uint8_t>("abcab"[i % 5]));
    twice.insert(twice.end(), block.begin(), block.end());  // a long-range repeat
    const struct {
        Bytes data;
        size_t limit;
    } cases[] = {
        {text, text.size() / 3},
        {Bytes(200000, 0), 200000 / 8},  // 18-byte references, eight per 17-byte group
        {pattern, 50000 / 7},
        {twice, 5000},
        {Bytes(18, ' '), 4},  // leading spaces match the initial ring: one reference
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data.size());
        Bytes packed = encode(c.data);
        EXPECT_LT(packed.size(), c.limit);
        EXPECT_EQ(decode(packed), c.data);
    }
    EXPECT_EQ(encode(Bytes(18, ' ')).size(), 3u);
}

TEST(LzssRoundTrip, MixedRunsAndNoise) {
    Bytes data;
    Bytes noise = random_bytes(100000, 5);
    for (size_t i = 0; i < noise.size(); i++) {
        data.push_back(noise[i]);
        if (noise[i] < 8) data.insert(data.end(), noise[i] * 5u, noise[(i + 1) % noise.size()]);
        if (noise[i] > 250 && i > 5000)
            data.insert(data.end(), data.end() - 4090, data.end() - 4090 + 30);
    }
    EXPECT_EQ(decode(encode(data)), data);
}

// Every cut of a stream decodes to a prefix of the original.
TEST(LzssRoundTrip, TruncatedStreamsDecodeToPrefixes) {
    Bytes text = bytes_of(sample_text().substr(0, 3000));
    Bytes packed = encode(text);
    size_t previous = 0;
    for (size_t cut = 0; cut <= packed.size(); cut++) {
        Bytes out = decode(Bytes(packed.begin(), packed.begin() + static_cast<long>(cut)));
        ASSERT_LE(out.size(), text.size()) << cut;
        ASSERT_TRUE(std::equal(out.begin(), out.end(), text.begin())) << cut;
        ASSERT_GE(out.size(), previous) << cut;
        previous = out.size();
    }
    EXPECT_EQ(previous, text.size());
}

}  // namespace
