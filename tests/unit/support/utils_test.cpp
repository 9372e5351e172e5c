// I/O and process utilities: sliced data waits, readers and writers under
// signals, the copy loop, the line reader, the program runner and paths.
#include "support/utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/unit/support/event_recorder.h"

namespace {

using Error = std::tuple<int, int, std::string>;
Error error_of(const EventRecorder &r) {
    return {r.error.class_, r.error.code, r.error.call != nullptr ? r.error.call : ""};
}
unsigned char pattern_byte(size_t index) {
    return static_cast<unsigned char>(index * 7 % 251);
}
std::string pattern(size_t length) {
    std::string data(length, '\0');
    for (size_t i = 0; i < length; i++) data[i] = static_cast<char>(pattern_byte(i));
    return data;
}

// A socket pair closed on scope exit: ends[1] writes into ends[0] and back.
struct Pair {
    int ends[2] = {-1, -1};
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
    ~Pair() { drop(0), drop(1); }
    void drop(int end) {
        if (ends[end] >= 0) close(ends[end]);
        ends[end] = -1;
    }
    bool send_text(const std::string &text) const {
        return write(ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
};

TEST(WaitForData, SilentPeerReadyDataAndFailedSelect) {
    Pair pair;
    EventRecorder silent(1), ready(1), failed(1);
    EXPECT_EQ(wait_for_data(&silent.context, pair.ends[0]), 0);
    auto spins = silent.of(UI_SPIN_WAIT);
    ASSERT_EQ(spins.size(), 16u);  // sixteen slices per second of timeout
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(std::make_pair(spins[i].words[0], spins[i].words[1]), std::make_pair(i, 16));
    EXPECT_EQ(silent.events.back().code, UI_TIMEOUT);
    EXPECT_EQ(silent.events.size(), 17u);

    ASSERT_TRUE(pair.send_text("x"));
    EXPECT_EQ(wait_for_data(&ready.context, pair.ends[0]), 1);
    ASSERT_EQ(ready.events.size(), 1u);
    EXPECT_EQ(ready.events[0].code, UI_DATA_READY);

    EXPECT_EQ(wait_for_data(&failed.context, -1), -1);
    EXPECT_EQ(error_of(failed), Error(ERR_NET_SYSCALL, EBADF, "select"));
    EXPECT_EQ(failed.count(UI_ERROR), 1u);
}

TEST(ReadersAndWriters, SocketReadReturnsDataThenZeroAndFailuresNameTheirCall) {
    Pair pair;
    ASSERT_TRUE(pair.send_text("hello"));
    EventRecorder recorder(1);
    char buffer[16];
    EXPECT_EQ(socket_read(&recorder.context, pair.ends[0], buffer, sizeof(buffer)), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    pair.drop(1);
    EXPECT_EQ(socket_read(&recorder.context, pair.ends[0], buffer, sizeof(buffer)), 0);
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);

    int pipe_ends[2];  // [0] reads, [1] writes
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(write(pipe_ends[1], "z", 1), 1);  // readable, but not a socket
    const std::pair<std::function<int(EngineContext *)>, Error> kCases[] = {
        {[&](EngineContext *c) { return socket_read(c, pipe_ends[0], buffer, 4); },
         {ERR_NET_SYSCALL, ENOTSOCK, "recv"}},
        {[&](EngineContext *c) { return file_read(c, pipe_ends[1], buffer, 4); },
         {ERR_FILE_SYSCALL, EBADF, "read"}},
        {[&](EngineContext *c) { return file_write(c, pipe_ends[0], buffer, 4); },
         {ERR_FILE_SYSCALL, EBADF, "write"}},
    };
    for (const auto &[call, expected] : kCases) {
        EventRecorder failing(1);
        EXPECT_EQ(call(&failing.context), -1);
        EXPECT_EQ(error_of(failing), expected);
        EXPECT_EQ(failing.count(UI_ERROR), 1u) << std::get<2>(expected);
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

volatile sig_atomic_t g_alarms = 0;

TEST(ReadersAndWriters, FileReadAndWriteGoOnAcrossSignalsAndPartialWrites) {
    constexpr size_t kLength = 1 << 20;  // far beyond the socket's buffer
    const std::string data = pattern(kLength);
    Pair pair;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // answers late, then reads slowly
        usleep(200000);
        std::string got(kLength, '\0');
        size_t total = 0;
        bool sent = pair.send_text("late data");
        for (ssize_t n = 1; sent && n > 0 && total < kLength; usleep(100)) {
            n = read(pair.ends[1], &got[total], std::min<size_t>(8192, kLength - total));
            total += n > 0 ? n : 0;
        }
        _exit(got == data ? 0 : 1);
    }
    // SIGALRM every millisecond, without SA_RESTART: blocking calls see EINTR.
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) { g_alarms = g_alarms + 1; };
    sigaction(SIGALRM, &action, &previous);
    itimerval interval{{0, 1000}, {0, 1000}}, off{};
    setitimer(ITIMER_REAL, &interval, nullptr);
    EventRecorder recorder;
    char buffer[32];
    g_alarms = 0;
    int count = file_read(&recorder.context, pair.ends[0], buffer, sizeof(buffer));
    const int alarms_in_read = g_alarms;
    int written = file_write(&recorder.context, pair.ends[0], data.data(), kLength);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GT(alarms_in_read, 0);
    EXPECT_GT(g_alarms, alarms_in_read);
    ASSERT_EQ(count, 9);
    EXPECT_EQ(std::string(buffer, 9), "late data");
    EXPECT_EQ(written, static_cast<int>(kLength));
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader saw a damaged stream";
}

// A reader serving the pattern up to a length, and a writer collecting what
// it is given (short after write_limit bytes), both noting the sizes asked.
struct FakeStream {
    size_t available = 0, given = 0;
    int write_limit = -1;
    std::vector<int> requests;
    std::string sink;
} g_stream;

int fake_read(EngineContext *, int, void *buffer, int length) {
    g_stream.requests.push_back(length);
    size_t count = std::min(static_cast<size_t>(length), g_stream.available - g_stream.given);
    memcpy(buffer, pattern(g_stream.given + count).data() + g_stream.given, count);
    g_stream.given += count;
    return static_cast<int>(count);
}
int fake_write(EngineContext *, int, const void *buffer, int length) {
    int count = length;
    if (g_stream.write_limit >= 0)
        count = std::min(length, g_stream.write_limit - static_cast<int>(g_stream.sink.size()));
    g_stream.sink.append(static_cast<const char *>(buffer), count);
    return count;
}

TEST(TransferData, CopiesInChunksOf4096UntilTheCountTheEndOrAFailure) {
    const struct {
        size_t available;
        uint32_t remaining, offset;
        int to, write_limit;
        bool refuse_progress;
        int result;
        uint32_t copied, written;
        std::vector<int> requests;
        std::vector<int32_t> progress;
    } kCases[] = {
        // Progress counts the bytes that were present before, too.
        {20000, 10000, 500, 4, -1, false, 0, 10000, 10000, {4096, 4096, 1808}, {4596, 8692, 10500}},
        {10000,
         kTransferAll,
         0,
         4,
         -1,
         false,
         0,
         10000,
         10000,
         {4096, 4096, 4096, 4096},
         {4096, 8192, 10000}},
        // A short source is no error: the caller compares the count.
        {300, 1000, 0, 4, -1, false, 0, 300, 300, {1000, 700}, {300}},
        // A refused progress report stops before the write; so does a short write.
        {10000, kTransferAll, 0, 4, -1, true, -1, 4096, 0, {4096}, {4096}},
        {10000, kTransferAll, 0, 4, 5000, false, -1, 8192, 5000, {4096, 4096}, {4096, 8192}},
        // Copying a descriptor onto itself does nothing.
        {100, 50, 0, 3, -1, false, 0, 50, 0, {}, {}},
    };
    for (const auto &test : kCases) {
        SCOPED_TRACE(&test - kCases);
        g_stream = FakeStream{test.available, 0, test.write_limit, {}, ""};
        EventRecorder recorder;
        if (test.refuse_progress) recorder.answer = [](const RecordedEvent &) { return -1; };
        uint32_t remaining = test.remaining;
        EXPECT_EQ(transfer_data(&recorder.context, 3, test.to, &remaining, test.offset, fake_read,
                                fake_write),
                  test.result);
        EXPECT_EQ(remaining, test.copied);
        EXPECT_EQ(g_stream.requests, test.requests);
        EXPECT_EQ(g_stream.sink, pattern(test.written));
        std::vector<int32_t> progress;
        for (const RecordedEvent &event : recorder.of(UI_PROGRESS)) progress.push_back(event.done);
        EXPECT_EQ(progress, test.progress);
    }
    uint32_t *no_count = nullptr;
    EventRecorder recorder;
    EXPECT_EQ(transfer_data(&recorder.context, 3, 4, no_count, 0, fake_read, fake_write), -1);
    EXPECT_TRUE(g_stream.requests.empty());
}

TEST(TransferBounded, NeverWritesBeyondTheLimitAndRefusesASenderThatGoesOn) {
    const struct {
        size_t available;
        uint32_t remaining, offset, limit;
        int result;
        uint32_t copied, written;
        bool too_large;
    } kCases[] = {
        {5000, kTransferAll, 0, 5000, 0, 5000, 5000, false},  // exactly the limit, then the end
        {3000, kTransferAll, 0, 5000, 0, 3000, 3000, false},  // short: the caller judges
        {5001, kTransferAll, 0, 5000, kTransferTooLarge, 5000, 5000, true},  // one byte more
        {3001, kTransferAll, 2000, 5000, kTransferTooLarge, 3000, 3000,
         true},                                         // what is held counts
        {0, kTransferAll, 5000, 5000, 0, 0, 0, false},  // a full copy and nothing sent
        {10, kTransferAll, 5000, 5000, kTransferTooLarge, 0, 0, true},
        {10, kTransferAll, 0, 0, 0, 10, 10, false},            // no limit given: the unlisted bound
        {9000, 5000, 0, 5000, 0, 5000, 5000, false},           // a count within the limit
        {9000, 5001, 0, 5000, kTransferTooLarge, 0, 0, true},  // a count above it: nothing read
    };
    for (const auto &test : kCases) {
        SCOPED_TRACE(&test - kCases);
        g_stream = FakeStream{test.available, 0, -1, {}, ""};
        EventRecorder recorder;
        uint32_t remaining = test.remaining;
        EXPECT_EQ(transfer_bounded(&recorder.context, 3, 4, &remaining, test.offset, test.limit,
                                   fake_read, fake_write),
                  test.result);
        EXPECT_EQ(remaining, test.copied);
        EXPECT_EQ(g_stream.sink, pattern(test.written));
        EXPECT_EQ(recorder.count(UI_ERROR), test.too_large ? 1u : 0u);
        if (test.too_large) {
            EXPECT_EQ(error_of(recorder), Error(ERR_FILE_SYSCALL, EFBIG, "write"));
        }
        if (test.remaining != kTransferAll && test.too_large) {
            EXPECT_TRUE(g_stream.requests.empty());
        }
    }
}

TEST(TransferData, CopiesBetweenFilesWithTheFileReaderAndWriter) {
    FILE *from = tmpfile(), *to = tmpfile();
    ASSERT_TRUE(from != nullptr && to != nullptr);
    const std::string data = pattern(9000);
    ASSERT_EQ(write(fileno(from), data.data(), data.size()), 9000);
    lseek(fileno(from), 0, SEEK_SET);
    EventRecorder recorder;
    uint32_t remaining = kTransferAll;
    EXPECT_EQ(transfer_data(&recorder.context, fileno(from), fileno(to), &remaining, 0, file_read,
                            file_write),
              0);
    EXPECT_EQ(remaining, 9000u);
    std::string copy(9000, '\0');
    EXPECT_EQ(pread(fileno(to), copy.data(), copy.size(), 0), 9000);
    EXPECT_EQ(copy, data);
    fclose(from);
    fclose(to);
}

// Line reading over a loopback TCP connection, as the protocol clients do.
class ReadLine : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(tcp_pair(ends));
        connection = ends[0];
    }
    void TearDown() override {
        free(buffer);
        if (connection >= 0) close(connection);
        if (ends[1] >= 0) close(ends[1]);
    }
    void send_text(const std::string &text) {
        ASSERT_EQ(send(ends[1], text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    }
    int read() { return read_line(&recorder.context, &waits, &connection, &buffer, &size); }
    ssize_t pending() {
        char peek[8];
        return recv(connection, peek, sizeof(peek), MSG_PEEK | MSG_DONTWAIT);
    }

    int ends[2] = {-1, -1};
    Connection connection = -1;
    EventRecorder recorder{1, 3};
    int32_t waits = 0;
    char *buffer = nullptr;
    size_t size = 0;
};

TEST_F(ReadLine, KeepsLineEndsGrowsByDoublingAndReadsNothingBeyondTheLine) {
    const std::string long_line = std::string(4999, 'a') + "\n";
    send_text("220 ready\r\n" + long_line + "BODY");
    ASSERT_EQ(read(), 0);
    EXPECT_STREQ(buffer, "220 ready\r\n");
    EXPECT_EQ(size, 4096u);
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(std::string(buffer), long_line);
    EXPECT_EQ(size, 8192u);
    char body[8];  // the body is still on the socket for the block reader
    EXPECT_EQ(socket_read(&recorder.context, connection, body, sizeof(body)), 4);
    EXPECT_EQ(std::string(body, 4), "BODY");
    EXPECT_EQ(waits, 0);
}

TEST_F(ReadLine, ReusesTheCallersBufferAndRefusesAnEndlessLine) {
    size = 64;
    buffer = static_cast<char *>(malloc(size));
    send_text(std::string(70, '0') + "\n");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(size, 128u);
    EXPECT_EQ(strlen(buffer), 71u);
    std::thread endless([&] {
        std::string block(65536, 'b');
        for (size_t sent = 0; sent <= kLineBufferLimit; sent += block.size())
            if (send(ends[1], block.data(), block.size(), MSG_NOSIGNAL) < 0) break;
    });
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    shutdown(connection, SHUT_RDWR);
    endless.join();
}

TEST_F(ReadLine, PeerClosingMidLineOrANulByteEndsWithFailure) {
    send_text(std::string("ab\0cd\n", 6));
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_GE(connection, 0);
    ASSERT_EQ(read(), 0);
    EXPECT_STREQ(buffer, "cd\n");

    send_text("partial");
    close(ends[1]);
    ends[1] = -1;
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(buffer, "partial");
    EXPECT_EQ(connection, -1);
    EXPECT_EQ(recorder.count(UI_CONNECTION_CLOSED), 1u);
    EXPECT_EQ(read(), -1);  // nothing left to read from
}

TEST_F(ReadLine, TriesBoundTheWaitsOverTheCallersCount) {
    send_text("line\n");
    recorder.context.tries = 0;  // no wait and no read at all
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_EQ(pending(), 5);
    recorder.context.tries = 2;
    waits = 2;
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(pending(), 5);

    char line[8];
    ASSERT_EQ(recv(connection, line, 5, 0), 5);
    waits = 1;  // one time-out already spent on an earlier line
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(waits, 2);
    EXPECT_EQ(recorder.count(UI_SPIN_WAIT), 16u);
    EXPECT_EQ(recorder.count(UI_TIMEOUT), 1u);
    EXPECT_GE(connection, 0);
}

TEST(RunProgram, StatusesExecEventsAndTheExecuteBit) {
    char directory[] = "/tmp/qavo-run-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const struct {
        const char *script;        // null: no program file at all
        int result, status, exec;  // exec -1: no UI_EXEC raised
        Error error;
    } kCases[] = {
        {"#!/bin/sh\nexit 3\n", -1, 768, 3, {}},
        {"#!/bin/sh\nexit 0\n", 0, 0, 0, {}},
        {"not a program\n", -1, 127 << 8, 127, {}},  // execv refuses it
        {"#!/bin/sh\nkill -9 $$\n", -1, 0, -1, {}},  // killed: fails unannounced
        {nullptr, -1, 0, -1, {ERR_FILE_SYSCALL, ENOENT, "stat"}},
    };
    const std::string program = std::string(directory) + "/program";
    for (const auto &test : kCases) {
        SCOPED_TRACE(test.script ? test.script : "missing");
        unlink(program.c_str());
        if (test.script != nullptr) std::ofstream(program) << test.script;
        chmod(program.c_str(), 0600);  // without any execute bit
        EventRecorder recorder;
        int status = -5;
        EXPECT_EQ(run_program(&recorder.context, program.c_str(), &status), test.result);
        EXPECT_EQ(status, test.status);
        const bool error = !std::get<2>(test.error).empty();
        EXPECT_EQ(recorder.events.size(), size_t{test.exec >= 0} + size_t{error});
        auto exec = recorder.of(UI_EXEC);
        EXPECT_EQ(exec.empty() ? -1 : exec[0].word, test.exec);
        EXPECT_EQ(error_of(recorder), test.error);  // all zero when nothing failed
        struct stat info;
        EXPECT_TRUE(!test.script ||
                    (stat(program.c_str(), &info) == 0 && (info.st_mode & 0777) == 0700));
    }
    unlink(program.c_str());
    rmdir(directory);
}

TEST(NormalizePath, ResolvesWhatItCanAndKeepsTheRest) {
    // Pairs of a path and its normal form.
    constexpr const char *kCases[] = {
        "/a/./b/../c/", "/a/c", "a/..", ".", "a//b", "a/b", "a/./b", "a/b", "x/", "x",
        "a/b/../c/../../d", "./d", "pub/qavo/../x/qavoe.info", "pub/x/qavoe.info",
        // Nothing to climb out of: the ".." stays.
        "../x", "../x", "../../x", "../../x", "/..", "/..", "/a/../..", "/..", "./../x", "./x",
        "./a", "./a",
        // A leading "//" is kept, longer runs shrink to it.
        "/", "/", "//", "//", "///a", "//a", "//a//b/", "//a/b", "", ""};
    for (size_t i = 0; i < std::size(kCases); i += 2) {
        std::string text = kCases[i];
        EXPECT_EQ(normalize_path(text.data()), 0);
        EXPECT_STREQ(text.c_str(), kCases[i + 1]) << kCases[i];
    }
    EXPECT_EQ(normalize_path(nullptr), -1);
}

}  // namespace
