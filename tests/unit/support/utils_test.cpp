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
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/unit/support/event_recorder.h"

namespace {

volatile sig_atomic_t g_alarms = 0;
void count_alarm(int) {
    g_alarms = g_alarms + 1;
}

// Fires SIGALRM every few milliseconds into a handler installed without
// SA_RESTART, so blocking calls come back with EINTR.
class IntervalTimer {
   public:
    explicit IntervalTimer(int microseconds) {
        g_alarms = 0;
        struct sigaction action {};
        action.sa_handler = count_alarm;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGALRM, &action, &previous_);
        itimerval interval{{0, microseconds}, {0, microseconds}};
        setitimer(ITIMER_REAL, &interval, nullptr);
    }
    ~IntervalTimer() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }

   private:
    struct sigaction previous_ {};
};

unsigned char pattern_byte(size_t index) {
    return static_cast<unsigned char>(index * 7 % 251);
}

// Pair of sockets with RAII close.
struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, ends); }
    ~SocketPair() {
        for (int end : ends)
            if (end >= 0) close(end);
    }
    bool send_text(const std::string &text) const {
        return write(ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
};

TEST(WaitForData, SilentPeerTakesSixteenSlicesPerSecondThenTimesOut) {
    SocketPair pair;
    EventRecorder recorder(1);
    EXPECT_EQ(wait_for_data(&recorder.context, pair.ends[0]), 0);
    auto spins = recorder.of(UI_SPIN_WAIT);
    ASSERT_EQ(spins.size(), 16u);
    for (int index = 0; index < 16; index++) {
        EXPECT_EQ(spins[index].words[0], index);
        EXPECT_EQ(spins[index].words[1], 16);
    }
    EXPECT_EQ(recorder.events.back().code, UI_TIMEOUT);
    EXPECT_EQ(recorder.count(UI_TIMEOUT), 1u);
    EXPECT_EQ(recorder.count(UI_DATA_READY), 0u);
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
}

TEST(WaitForData, ReadyDataEndsTheWaitAtOnce) {
    SocketPair pair;
    ASSERT_TRUE(pair.send_text("x"));
    EventRecorder recorder(1);
    EXPECT_EQ(wait_for_data(&recorder.context, pair.ends[0]), 1);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].code, UI_DATA_READY);
}

TEST(WaitForData, FailedSelectIsRecorded) {
    EventRecorder recorder(1);
    EXPECT_EQ(wait_for_data(&recorder.context, -1), -1);
    EXPECT_EQ(recorder.error.class_, ERR_NET_SYSCALL);
    EXPECT_EQ(recorder.error.code, EBADF);
    EXPECT_STREQ(recorder.error.call, "select");
    EXPECT_EQ(recorder.count(UI_ERROR), 1u);
}

TEST(SocketRead, ReturnsDataThenZeroWhenThePeerCloses) {
    SocketPair pair;
    ASSERT_TRUE(pair.send_text("hello"));
    EventRecorder recorder(1);
    char buffer[16];
    EXPECT_EQ(socket_read(&recorder.context, pair.ends[0], buffer, sizeof(buffer)), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    close(pair.ends[1]);
    pair.ends[1] = -1;
    EXPECT_EQ(socket_read(&recorder.context, pair.ends[0], buffer, sizeof(buffer)), 0);
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
}

TEST(SocketRead, ReceiveFailureIsRecordedAsRecv) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(write(pipe_ends[1], "z", 1), 1);  // readable, but not a socket
    EventRecorder recorder(1);
    char buffer[4];
    EXPECT_EQ(socket_read(&recorder.context, pipe_ends[0], buffer, sizeof(buffer)), -1);
    EXPECT_EQ(recorder.error.class_, ERR_NET_SYSCALL);
    EXPECT_EQ(recorder.error.code, ENOTSOCK);
    EXPECT_STREQ(recorder.error.call, "recv");
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

TEST(FileReadWrite, FailuresAreRecordedWithTheirCall) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    EventRecorder recorder;
    char buffer[4] = {};
    EXPECT_EQ(file_read(&recorder.context, pipe_ends[1], buffer, sizeof(buffer)), -1);
    EXPECT_EQ(recorder.error.class_, ERR_FILE_SYSCALL);
    EXPECT_EQ(recorder.error.code, EBADF);
    EXPECT_STREQ(recorder.error.call, "read");
    EXPECT_EQ(file_write(&recorder.context, pipe_ends[0], buffer, sizeof(buffer)), -1);
    EXPECT_EQ(recorder.error.class_, ERR_FILE_SYSCALL);
    EXPECT_STREQ(recorder.error.call, "write");
    EXPECT_EQ(recorder.count(UI_ERROR), 2u);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

TEST(FileRead, IsRepeatedWhenASignalBreaksItOff) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        usleep(200000);
        _exit(write(pipe_ends[1], "late data", 9) == 9 ? 0 : 1);
    }
    EventRecorder recorder;
    char buffer[32];
    int count;
    {
        IntervalTimer timer(2000);
        count = file_read(&recorder.context, pipe_ends[0], buffer, sizeof(buffer));
    }
    EXPECT_GT(g_alarms, 0);
    ASSERT_EQ(count, 9);
    EXPECT_EQ(std::string(buffer, 9), "late data");
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
    int status;
    waitpid(child, &status, 0);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

TEST(FileWrite, WritesEverythingAcrossSignalsAndPartialWrites) {
    constexpr size_t kLength = 1 << 20;  // far beyond the pipe's buffer
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipe_ends[1]);
        usleep(200000);
        size_t total = 0;
        bool intact = true;
        unsigned char chunk[8192];
        ssize_t count;
        while ((count = read(pipe_ends[0], chunk, sizeof(chunk))) > 0) {
            for (ssize_t i = 0; i < count; i++) intact &= chunk[i] == pattern_byte(total + i);
            total += count;
            usleep(100);
        }
        _exit(intact && total == kLength ? 0 : 1);
    }
    close(pipe_ends[0]);
    std::string data(kLength, '\0');
    for (size_t i = 0; i < kLength; i++) data[i] = static_cast<char>(pattern_byte(i));
    EventRecorder recorder;
    int written;
    {
        IntervalTimer timer(1000);
        written = file_write(&recorder.context, pipe_ends[1], data.data(), kLength);
    }
    EXPECT_GT(g_alarms, 0);
    EXPECT_EQ(written, static_cast<int>(kLength));
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
    close(pipe_ends[1]);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader saw a damaged stream";
}

// A reader serving a pattern of a given length, and a writer collecting
// what it is given, both noting the sizes of their calls.
struct FakeStream {
    size_t available = 0;
    size_t given = 0;
    std::vector<int> requests;
    std::string sink;
    int write_limit = -1;  // a writer that stops short after this many bytes
};
FakeStream *g_stream = nullptr;

int fake_read(EngineContext *, int, void *buffer, int length) {
    g_stream->requests.push_back(length);
    size_t count = std::min(static_cast<size_t>(length), g_stream->available - g_stream->given);
    for (size_t i = 0; i < count; i++)
        static_cast<unsigned char *>(buffer)[i] = pattern_byte(g_stream->given + i);
    g_stream->given += count;
    return static_cast<int>(count);
}

int fake_write(EngineContext *, int, const void *buffer, int length) {
    int count = length;
    if (g_stream->write_limit >= 0)
        count = std::min(length, g_stream->write_limit - static_cast<int>(g_stream->sink.size()));
    g_stream->sink.append(static_cast<const char *>(buffer), count);
    return count;
}

bool sink_holds_pattern(const FakeStream &stream) {
    for (size_t i = 0; i < stream.sink.size(); i++)
        if (static_cast<unsigned char>(stream.sink[i]) != pattern_byte(i)) return false;
    return true;
}

class TransferData : public ::testing::Test {
   protected:
    void SetUp() override { g_stream = &stream; }
    void TearDown() override { g_stream = nullptr; }
    std::vector<int32_t> progress() const {
        std::vector<int32_t> done;
        for (const RecordedEvent &event : recorder.of(UI_PROGRESS)) done.push_back(event.done);
        return done;
    }
    FakeStream stream;
    EventRecorder recorder;
};

TEST_F(TransferData, ExactCountIsCopiedInChunksOf4096) {
    stream.available = 20000;
    uint32_t remaining = 10000;
    EXPECT_EQ(transfer_data(&recorder.context, 3, 4, &remaining, 500, fake_read, fake_write), 0);
    EXPECT_EQ(remaining, 10000u);
    EXPECT_EQ(stream.requests, (std::vector<int>{4096, 4096, 1808}));
    EXPECT_EQ(stream.sink.size(), 10000u);
    EXPECT_TRUE(sink_holds_pattern(stream));
    // Progress counts the bytes that were present before, too.
    EXPECT_EQ(progress(), (std::vector<int32_t>{4596, 8692, 10500}));
}

TEST_F(TransferData, AllOnesCopiesUntilTheEndOfTheData) {
    stream.available = 10000;
    uint32_t remaining = kTransferAll;
    EXPECT_EQ(transfer_data(&recorder.context, 3, 4, &remaining, 0, fake_read, fake_write), 0);
    EXPECT_EQ(remaining, 10000u);
    EXPECT_EQ(stream.requests, (std::vector<int>{4096, 4096, 4096, 4096}));
    EXPECT_EQ(stream.sink.size(), 10000u);
    EXPECT_TRUE(sink_holds_pattern(stream));
}

TEST_F(TransferData, ShortSourceEndsWithoutErrorAndReportsTheCount) {
    stream.available = 300;
    uint32_t remaining = 1000;
    EXPECT_EQ(transfer_data(&recorder.context, 3, 4, &remaining, 0, fake_read, fake_write), 0);
    EXPECT_EQ(remaining, 300u);
    EXPECT_EQ(stream.requests, (std::vector<int>{1000, 700}));
    EXPECT_EQ(stream.sink.size(), 300u);
}

TEST_F(TransferData, RefusedProgressOrShortWriteEndsWithFailure) {
    stream.available = 10000;
    recorder.answer = [](const RecordedEvent &event) { return event.code == UI_PROGRESS ? -1 : 0; };
    uint32_t remaining = kTransferAll;
    EXPECT_EQ(transfer_data(&recorder.context, 3, 4, &remaining, 0, fake_read, fake_write), -1);
    EXPECT_EQ(remaining, 4096u);
    EXPECT_TRUE(stream.sink.empty());  // refused before the write

    recorder.answer = nullptr;
    stream = FakeStream{};
    stream.available = 10000;
    stream.write_limit = 5000;
    remaining = kTransferAll;
    EXPECT_EQ(transfer_data(&recorder.context, 3, 4, &remaining, 0, fake_read, fake_write), -1);
    EXPECT_EQ(remaining, 8192u);
}

TEST_F(TransferData, SameDescriptorOrMissingCountDoNothing) {
    stream.available = 100;
    uint32_t remaining = 50;
    EXPECT_EQ(transfer_data(&recorder.context, 3, 3, &remaining, 0, fake_read, fake_write), 0);
    EXPECT_EQ(remaining, 50u);
    EXPECT_EQ(transfer_data(&recorder.context, 3, 4, nullptr, 0, fake_read, fake_write), -1);
    EXPECT_TRUE(stream.requests.empty());
}

TEST_F(TransferData, CopiesBetweenFilesWithTheFileReaderAndWriter) {
    char from_name[] = "/tmp/qavo-transfer-XXXXXX";
    char to_name[] = "/tmp/qavo-transfer-XXXXXX";
    int from = mkstemp(from_name);
    int to = mkstemp(to_name);
    ASSERT_GE(from, 0);
    ASSERT_GE(to, 0);
    std::string data(9000, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(pattern_byte(i));
    ASSERT_EQ(write(from, data.data(), data.size()), 9000);
    lseek(from, 0, SEEK_SET);
    uint32_t remaining = kTransferAll;
    EXPECT_EQ(transfer_data(&recorder.context, from, to, &remaining, 0, file_read, file_write), 0);
    EXPECT_EQ(remaining, 9000u);
    std::string copy(9000, '\0');
    EXPECT_EQ(pread(to, copy.data(), copy.size(), 0), 9000);
    EXPECT_EQ(copy, data);
    close(from);
    close(to);
    unlink(from_name);
    unlink(to_name);
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

    int ends[2] = {-1, -1};
    Connection connection = -1;
    EventRecorder recorder{1, 3};
    int32_t waits = 0;
    char *buffer = nullptr;
    size_t size = 0;
};

TEST_F(ReadLine, KeepsLineEndsAndReadsNothingBeyondTheLine) {
    send_text("220 ready\r\nnext\nBODY");
    ASSERT_EQ(read(), 0);
    EXPECT_STREQ(buffer, "220 ready\r\n");
    EXPECT_EQ(size, 4096u);
    ASSERT_EQ(read(), 0);
    EXPECT_STREQ(buffer, "next\n");
    // The body is still on the socket for the block reader.
    char body[8];
    EXPECT_EQ(socket_read(&recorder.context, connection, body, sizeof(body)), 4);
    EXPECT_EQ(std::string(body, 4), "BODY");
    EXPECT_EQ(waits, 0);
}

TEST_F(ReadLine, LongLineGrowsTheBufferByDoubling) {
    std::string line(4999, 'a');
    line += '\n';
    std::thread sender([&] { send_text(line); });
    int result = read();
    sender.join();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(size, 8192u);
    EXPECT_EQ(std::string(buffer), line);
}

TEST_F(ReadLine, EndlessLineIsRefusedAtTheLimit) {
    std::thread sender([&] {
        std::string block(65536, 'b');
        for (size_t sent = 0; sent <= kLineBufferLimit; sent += block.size())
            if (send(ends[1], block.data(), block.size(), MSG_NOSIGNAL) < 0) break;
    });
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    shutdown(connection, SHUT_RDWR);
    sender.join();
}

TEST_F(ReadLine, PeerClosingMidLineLeavesTheTailAndClosesTheConnection) {
    send_text("partial");
    close(ends[1]);
    ends[1] = -1;
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(buffer, "partial");
    EXPECT_EQ(connection, -1);
    EXPECT_EQ(recorder.count(UI_CONNECTION_CLOSED), 1u);
    EXPECT_EQ(read(), -1);  // nothing left to read from
}

TEST_F(ReadLine, ReceivedNulByteEndsTheLineWithFailure) {
    send_text(std::string("ab\0cd\n", 6));
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_GE(connection, 0);
    ASSERT_EQ(read(), 0);
    EXPECT_STREQ(buffer, "cd\n");
}

TEST_F(ReadLine, NoTriesMeansNoWaitAndNoRead) {
    send_text("line\n");
    recorder.context.tries = 0;
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(recorder.events.empty());
    char peek[8];
    EXPECT_EQ(recv(connection, peek, sizeof(peek), MSG_PEEK), 5);
    recorder.context.tries = 2;
    waits = 2;
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(recv(connection, peek, sizeof(peek), MSG_PEEK), 5);
}

TEST_F(ReadLine, TimeOutsCountAgainstTheCallersWaits) {
    recorder.context.tries = 2;
    waits = 1;  // one time-out already spent on an earlier line
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(waits, 2);
    EXPECT_EQ(recorder.count(UI_SPIN_WAIT), 16u);
    EXPECT_EQ(recorder.count(UI_TIMEOUT), 1u);
    EXPECT_GE(connection, 0);
}

TEST_F(ReadLine, ReusesTheCallersBuffer) {
    size = 64;
    buffer = static_cast<char *>(malloc(size));
    send_text("0123456789012345678901234567890123456789012345678901234567890123456789\n");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(size, 128u);
    EXPECT_EQ(strlen(buffer), 71u);
    Connection closed = -1;
    EXPECT_EQ(read_line(&recorder.context, &waits, &closed, &buffer, &size), -1);
}

class RunProgram : public ::testing::Test {
   protected:
    void SetUp() override {
        char pattern[] = "/tmp/qavo-run-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override {
        unlink(program.c_str());
        rmdir(directory.c_str());
    }
    // Writes the program without any execute bit.
    void write_program(const std::string &text) {
        program = directory + "/program";
        FILE *file = fopen(program.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fputs(text.c_str(), file);
        fclose(file);
        chmod(program.c_str(), 0600);
    }
    std::string directory;
    std::string program;
    EventRecorder recorder;
};

TEST_F(RunProgram, NonZeroExitGivesTheRawWaitStatus) {
    write_program("#!/bin/sh\nexit 3\n");
    int status = -5;
    EXPECT_EQ(run_program(&recorder.context, program.c_str(), &status), -1);
    EXPECT_EQ(status, 768);
    auto exec = recorder.of(UI_EXEC);
    ASSERT_EQ(exec.size(), 1u);
    EXPECT_EQ(exec[0].word, 3);
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
}

TEST_F(RunProgram, SuccessGainsTheOwnerExecuteBit) {
    write_program("#!/bin/sh\nexit 0\n");
    int status = -5;
    EXPECT_EQ(run_program(&recorder.context, program.c_str(), &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(recorder.of(UI_EXEC).at(0).word, 0);
    struct stat info;
    ASSERT_EQ(stat(program.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(RunProgram, ProgramThatCannotStartExitsWith127) {
    write_program("not a program\n");  // no interpreter line: execv refuses it
    int status = 0;
    EXPECT_EQ(run_program(&recorder.context, program.c_str(), &status), -1);
    EXPECT_EQ(status, 127 << 8);
    EXPECT_EQ(recorder.of(UI_EXEC).at(0).word, 127);
}

TEST_F(RunProgram, ProgramKilledBySignalFailsUnannounced) {
    write_program("#!/bin/sh\nkill -9 $$\n");
    int status = -5;
    EXPECT_EQ(run_program(&recorder.context, program.c_str(), &status), -1);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(RunProgram, MissingProgramRecordsStat) {
    program = directory + "/missing";
    int status = -5;
    EXPECT_EQ(run_program(&recorder.context, program.c_str(), &status), -1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(recorder.error.class_, ERR_FILE_SYSCALL);
    EXPECT_EQ(recorder.error.code, ENOENT);
    EXPECT_STREQ(recorder.error.call, "stat");
    EXPECT_EQ(recorder.count(UI_EXEC), 0u);
}

std::string normalized(std::string path) {
    std::vector<char> text(path.begin(), path.end());
    text.push_back('\0');
    EXPECT_EQ(normalize_path(text.data()), 0);
    return text.data();
}

TEST(NormalizePath, ResolvesWhatItCanAndKeepsTheRest) {
    constexpr std::pair<const char *, const char *> kCases[] = {
        {"/a/./b/../c/", "/a/c"},
        {"a/..", "."},
        {"a//b", "a/b"},
        {"a/./b", "a/b"},
        {"x/", "x"},
        {"a/b/../c/../../d", "./d"},
        {"pub/qavo/../x/qavoe.info", "pub/x/qavoe.info"},
        // Nothing to climb out of: the ".." stays.
        {"../x", "../x"},
        {"../../x", "../../x"},
        {"/..", "/.."},
        {"/a/../..", "/.."},
        {"./../x", "./x"},
        {"./a", "./a"},
        // A leading "//" is kept, longer runs shrink to it.
        {"/", "/"},
        {"//", "//"},
        {"///a", "//a"},
        {"//a//b/", "//a/b"},
        {"", ""},
    };
    for (const auto &[path, expected] : kCases) EXPECT_EQ(normalized(path), expected) << path;
    EXPECT_EQ(normalize_path(nullptr), -1);
}

}  // namespace
