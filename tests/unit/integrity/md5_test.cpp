// MD5 core against the RFC 1321 suite, and the descriptor, file and
// hexadecimal helpers.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "integrity/md5.h"
#include "integrity_test_util.h"

namespace {

std::string hex_of(const uint8_t *digest) {
    char text[kMd5HexSize];
    md5_hex(text, digest);
    return text;
}

// Digest of data fed in two updates cut at cut.
std::string md5_of(const Bytes &data, size_t cut = 0) {
    Md5Context context;
    md5_init(&context);
    md5_update(&context, data.data(), static_cast<uint32_t>(cut));
    md5_update(&context, data.data() + cut, static_cast<uint32_t>(data.size() - cut));
    uint8_t digest[kMd5DigestSize];
    md5_final(digest, &context);
    return hex_of(digest);
}

constexpr const char *kEmptyDigest = "d41d8cd98f00b204e9800998ecf8427e";

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<std::string, const char *> suite[] = {
        {"", kEmptyDigest},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto &[text, expected] : suite)
        EXPECT_EQ(md5_of(bytes_of(text)), expected) << text.substr(0, 80);
}

// Every split of a message into two updates, across the 55/56/64-byte
// padding boundaries, gives the one-shot digest.
TEST(Md5, SplitUpdatesMatchOneShot) {
    for (size_t size : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 200u}) {
        Bytes data = random_bytes(size, static_cast<uint32_t>(size));
        std::string whole = md5_of(data);
        for (size_t cut = 0; cut <= size; cut++)
            ASSERT_EQ(md5_of(data, cut), whole) << size << " cut at " << cut;
    }
}

TEST(Md5, BitCountCarriesAndFinalClearsTheContext) {
    Md5Context context;
    md5_init(&context);
    context.count[0] = 0xfffffff8u;  // one byte short of 2^32 bits
    md5_update(&context, "ab", 2);
    EXPECT_EQ(context.count[0], 8u);
    EXPECT_EQ(context.count[1], 1u);

    md5_init(&context);
    md5_update(&context, "abc", 3);
    uint8_t digest[kMd5DigestSize];
    md5_final(digest, &context);
    EXPECT_EQ(hex_of(digest), "900150983cd24fb0d6963f7d28e17f72");
    const Md5Context zero = {};
    EXPECT_EQ(memcmp(&context, &zero, sizeof context), 0);
}

// Read system calls made so far by this process, or -1 where not shown.
long read_calls() {
    int fd = open("/proc/self/io", O_RDONLY);
    if (fd < 0) return -1;
    char text[512] = {};
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    const char *field = got > 0 ? strstr(text, "syscr: ") : nullptr;
    return field != nullptr ? strtol(field + 7, nullptr, 10) : -1;
}

TEST(Md5Fd, ReadsExactlyTheLengthInChunksOf4096) {
    ScratchDir dir;
    Bytes data = random_bytes(20000, 7);
    write_file(dir.file("data"), data);
    int fd = open(dir.file("data").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    long before = read_calls();
    long baseline = read_calls() - before;  // what one look at the counter costs
    before = read_calls();
    uint8_t digest[kMd5DigestSize];
    ASSERT_EQ(md5_fd(fd, digest, 10000), 0);
    long after = read_calls();
    if (before >= 0 && after >= 0) {
        EXPECT_EQ(after - before - baseline, 3);  // 4096 + 4096 + 1808
    }
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 10000);  // nothing read beyond the length
    EXPECT_EQ(hex_of(digest), md5_of(Bytes(data.begin(), data.begin() + 10000)));
    close(fd);
}

TEST(Md5Fd, ZeroLengthShortReadAndBadDescriptor) {
    uint8_t digest[kMd5DigestSize];
    EXPECT_EQ(md5_fd(-1, digest, 0), 0);
    EXPECT_EQ(hex_of(digest), kEmptyDigest);

    ScratchDir dir;
    Bytes data = random_bytes(5000, 3);
    write_file(dir.file("data"), data);
    int fd = open(dir.file("data").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(md5_fd(fd, digest, 6000), -1);
    EXPECT_EQ(hex_of(digest), md5_of(data));  // what was read is digested
    close(fd);
    EXPECT_EQ(md5_fd(fd, digest, 10), -1);
}

void ignore_signal(int) {}

// A signal that breaks off a blocked read must not end the digest early.
TEST(Md5Fd, RetriesReadsInterruptedBySignals) {
    struct sigaction action = {}, old = {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: read fails with EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    Bytes data = random_bytes(9000, 11);
    pthread_t reader = pthread_self();
    std::thread writer([&] {
        ASSERT_EQ(write(pipe_fds[1], data.data(), 4000), 4000);
        for (int i = 0; i < 5; i++) {
            usleep(20000);
            pthread_kill(reader, SIGUSR1);
        }
        ASSERT_EQ(write(pipe_fds[1], data.data() + 4000, 5000), 5000);
    });
    uint8_t digest[kMd5DigestSize];
    int result = md5_fd(pipe_fds[0], digest, 9000);
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(hex_of(digest), md5_of(data));
}

TEST(Md5File, OffsetsNegativeEndsAndFailures) {
    ScratchDir dir;
    Bytes data = random_bytes(1000, 5);
    write_file(dir.file("data"), data);
    write_file(dir.file("empty"), {});
    write_file(dir.file("small"), Bytes(100, 'x'));
    // {file, start, end, first and last byte digested, or -1 for a failure}
    const struct {
        const char *file;
        int32_t start, end;
        long from, to;
    } cases[] = {
        {"data", 0, 0, 0, 1000},     {"data", 0, -128, 0, 872},  {"data", 100, 300, 100, 300},
        {"data", 872, 0, 872, 1000}, {"data", 500, 500, 0, 0},   {"empty", 0, 0, 0, 0},
        {"data", 0, 1001, -1, -1},   {"data", 301, 300, -1, -1}, {"data", 0, -1001, -1, -1},
        {"missing", 0, 0, -1, -1},   {"small", 0, -128, -1, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.start) + " " +
                     std::to_string(c.end));
        uint8_t digest[kMd5DigestSize];
        int result = md5_file(dir.file(c.file).c_str(), digest, c.start, c.end);
        EXPECT_EQ(result, c.from < 0 ? -1 : 0);
        if (c.from >= 0) {
            EXPECT_EQ(hex_of(digest), md5_of(Bytes(data.begin() + c.from, data.begin() + c.to)));
        }
    }
}

TEST(Md5Hex, LowerCaseHighNibbleFirstAndUnhexInvertsIt) {
    uint8_t digest[kMd5DigestSize], back[kMd5DigestSize];
    for (int i = 0; i < kMd5DigestSize; i++) digest[i] = static_cast<uint8_t>(0x0a + 0x11 * i);
    char text[kMd5HexSize];
    memset(text, 'z', sizeof text);
    md5_hex(text, digest);
    EXPECT_EQ(strlen(text), 32u);
    EXPECT_EQ(std::string(text), "0a1b2c3d4e5f708192a3b4c5d6e7f809");
    for (int v = 0; v < 16; v++) EXPECT_EQ(hex_digit(v), "0123456789abcdef"[v]);

    for (int start = 0; start < 256; start += kMd5DigestSize) {
        for (int i = 0; i < kMd5DigestSize; i++) digest[i] = static_cast<uint8_t>(start + i);
        md5_hex(text, digest);
        md5_unhex(back, text);
        EXPECT_EQ(memcmp(digest, back, sizeof digest), 0) << text;
    }
    md5_unhex(digest, "00ff10abcdef0123456789abcdefabcd");
    md5_unhex(back, "00FF10ABCDEF0123456789ABCDEFABCD");  // upper case too
    EXPECT_EQ(memcmp(digest, back, sizeof digest), 0);
    EXPECT_EQ(digest[1], 0xff);
    EXPECT_EQ(digest[3], 0xab);
}

}  // namespace
