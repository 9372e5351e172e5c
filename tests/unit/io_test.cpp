// What the outside cannot time, provoke or see reliably: sliced connects and data waits, the line
// reader's bounds, reads across signals, the attempt loop's count, and the meter's text.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/fetch.h"
#include "frontend/console.h"
#include "frontend/install.h"
#include "support/connect.h"
#include "support/data_io.h"
#include "support/descriptor.h"
#include "support/line_reader.h"
#include "tests/unit/test_util.h"

namespace {

std::vector<std::vector<int32_t>> slices(int32_t count, bool advancing) {
    std::vector<std::vector<int32_t>> expected;
    for (int32_t i = 0; i < count; i++) expected.push_back({advancing ? i : 0, 16});
    return expected;
}

const std::string kBreak =
    std::to_string(ERR_UPDATE) + " " + std::to_string(UPD_USER_BREAK) + " callback";

// A connect to a listener whose backlog is full stays unanswered.
TEST(Waits, UnansweredConnectSpendsSixteenSlicesASecondOrWaitsForABreak) {
    const Descriptor listener{socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in address{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener.fd, raw, length), 0);
    ASSERT_EQ(listen(listener.fd, 0), 0);
    ASSERT_EQ(getsockname(listener.fd, raw, &length), 0);
    const uint16_t port = ntohs(address.sin_port);
    std::vector<Descriptor> fillers;
    bool full = false;
    for (int i = 0; i < 8 && !full; i++) {
        fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(fillers.back().fd, raw, length);
        pollfd wait{fillers.back().fd, POLLOUT, 0};
        full = poll(&wait, 1, 300) == 0;
    }
    if (!full) GTEST_SKIP() << "the listener's backlog did not fill";
    Recorder timed(1);
    Connection connection = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connection_open(timed.context.io, connection, "127.0.0.1", port), -1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(timed.words(Event::kSpin), slices(16, true));
    EXPECT_EQ(timed.error_text(), "");  // the caller counts it as a failed try
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));

    Recorder endless(0);  // no time-out: only the user's break ends it
    endless.stop_at = [&](Event) { return endless.words(Event::kSpin).size() == 20; };
    EXPECT_EQ(connection_open(endless.context.io, connection, "127.0.0.1", port), -1);
    EXPECT_EQ((std::tuple{endless.words(Event::kSpin), endless.error_text(), connection}),
              (std::tuple{slices(20, false), kBreak, -1}));
}

TEST(Waits, DataWaitsTimeOutAfterTheirSlices) {
    const SocketPair pair;
    Recorder silent(1), ready(1), failed(1);
    EXPECT_EQ(wait_for_data(silent.context.io, pair.ends[0]), WaitEnd::kExpired);
    EXPECT_EQ(silent.words(Event::kSpin), slices(16, true));
    EXPECT_EQ(silent.events.back().first, Event::kTimeout);
    ASSERT_EQ(write(pair.ends[1], "x", 1), 1);
    EXPECT_EQ((std::tuple{wait_for_data(ready.context.io, pair.ends[0]),
                          ready.words(Event::kDataReady).size(), ready.events.size()}),
              (std::tuple{WaitEnd::kReady, 1u, 1u}));
    EXPECT_EQ(wait_for_data(failed.context.io, -1), WaitEnd::kFailed);
    EXPECT_EQ(failed.error_text(),
              std::to_string(ERR_NET_SYSCALL) + " " + std::to_string(EBADF) + " select");
    // A descriptor numbered past what select could watch waits as well: a caller may leave
    // a thousand descriptors open.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 2048));
    (void)setrlimit(RLIMIT_NOFILE, &limit);
    const Descriptor far{dup2(pair.ends[0], 1500)};
    if (far.fd != 1500) GTEST_SKIP() << "no descriptor 1500 to be had";
    Recorder beyond(1);
    EXPECT_EQ(wait_for_data(beyond.context.io, far.fd), WaitEnd::kReady) << beyond.error_text();
}

TEST(Waits, PausesTurnTheSpinnerSixteenTimesASecondAndEndAtABreak) {
    Recorder paused, broken;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pause_sliced(paused.context.io, 1), WaitEnd::kExpired);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(paused.words(Event::kSpin), slices(16, true));
    EXPECT_GE(elapsed, std::chrono::milliseconds(990));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    broken.stop_at = [&](Event) { return broken.events.size() == 3; };
    EXPECT_EQ((std::tuple{pause_sliced(broken.context.io, 300), broken.words(Event::kSpin).size(),
                          broken.error_text()}),
              (std::tuple{WaitEnd::kFailed, 3u, kBreak}));
}

class LineReader : public ::testing::Test, protected SocketPair {
   protected:
    LineOutcome read() { return read_line(recorder.context.io, budget, ends[0], ahead, line); }

    Recorder recorder{1, 3};
    TransferBudget budget{3, 0};
    Received ahead{};
    std::string line;
};

TEST_F(LineReader, RefusesAnEndlessLine) {
    std::thread endless([&] {
        const std::string block(65536, 'b');
        for (size_t sent = 0; sent <= kLineLimit; sent += block.size())
            if (send(ends[1], block.data(), block.size(), MSG_NOSIGNAL) < 0) break;
    });
    EXPECT_EQ((std::tuple{read(), line}), (std::tuple{LineOutcome::kTooLong, ""}));
    shutdown(ends[0], SHUT_RDWR);
    endless.join();
}

TEST_F(LineReader, ExpiredWaitsSpendTheBudgetAcrossLines) {
    ASSERT_EQ(send(ends[1], "line\n", 5, 0), 5);
    budget = {0, 0};  // no wait and no read at all
    EXPECT_EQ((std::tuple{read(), recorder.events.size()}), (std::tuple{LineOutcome::kFailed, 0u}));
    budget = {2, 2};  // spent already
    EXPECT_EQ(read(), LineOutcome::kFailed);
    char line[8];  // the line is still there, whole
    ASSERT_EQ(recv(ends[0], line, sizeof(line), MSG_DONTWAIT), 5);
    budget.used = 1;  // one left: one wait of a second, then the end
    EXPECT_EQ((std::tuple{read(), budget.used, recorder.words(Event::kSpin),
                          recorder.words(Event::kTimeout).size()}),
              (std::tuple{LineOutcome::kFailed, 2, slices(16, true), 1u}));
}

// A reset met while topping up bytes received ahead is the next read's failure, not an end of data.
TEST_F(LineReader, AResetMetInATopUpFailsTheNextRead) {
    ASSERT_EQ(send(ends[0], "x", 1, 0), 1);  // unread when the peer closes: a reset
    close(std::exchange(ends[1], -1));
    memcpy(ahead.bytes, "ab", 2);
    ahead.end = 2;
    char buffer[8];
    EXPECT_EQ(received_read(recorder.context.io, ends[0], &ahead, socket_read, buffer, 8), 2);
    EXPECT_EQ(received_read(recorder.context.io, ends[0], &ahead, socket_read, buffer, 8), -1);
    EXPECT_EQ(recorder.error_text(), "1 104 recv");  // ECONNRESET, with no wait before it
    EXPECT_EQ(recorder.events.size(), 1u);
}

volatile sig_atomic_t g_alarms = 0;

// SIGALRM every millisecond without SA_RESTART: a blocked read sees EINTR.
TEST(Signals, ReadsGoOnAcrossInterruptions) {
    const SocketPair pair;
    const pid_t late = fork();  // a process of its own: the alarms are all ours
    ASSERT_GE(late, 0);
    if (late == 0) {
        usleep(200000);
        _exit(write(pair.ends[1], "late data", 9) == 9 ? 0 : 1);
    }
    struct sigaction action = {}, previous = {};
    action.sa_handler = [](int) { g_alarms = g_alarms + 1; };
    sigaction(SIGALRM, &action, &previous);
    itimerval interval{{0, 1000}, {0, 1000}}, off{};
    setitimer(ITIMER_REAL, &interval, nullptr);
    Recorder recorder;
    char buffer[32];
    const int count = file_read(recorder.context.io, pair.ends[0], buffer, sizeof(buffer));
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GT(g_alarms, 0);
    EXPECT_EQ((std::tuple{waitpid(late, nullptr, 0), std::string(buffer, count > 0 ? count : 0),
                          recorder.error_text()}),
              (std::tuple{late, "late data", ""}));
}

// A file:// mirror that lacks the file: each attempt fails at once with one "stat" error, so the
// events show the attempt loop alone: the retries raised and the attempts made.
using Retries = std::vector<std::vector<int32_t>>;
std::pair<Retries, size_t> attempts_of(int32_t tries, size_t stop_at_retry = 0) {
    RunState state;
    FileInstaller installer(state);  // required, though a fetch installs nothing
    ScratchDir dir;
    Recorder recorder(1, tries);
    recorder.context.installer = &installer;
    recorder.settings.mirror_urls = {"file://" + dir.file("qavoe.info")};
    recorder.settings.temp_dir = dir.path;
    recorder.stop_at = [&](Event kind) {
        return kind == Event::kRetry && recorder.words(kind).size() == stop_at_retry;
    };
    FileRecord file;
    file.sitepath = "absent";
    std::unique_ptr<EngineLink> link = engine_open_link(&recorder.context);
    EXPECT_EQ(engine_prepare_tempfile(&recorder.context, file), 0);
    recorder.events.clear();
    EXPECT_EQ(engine_get_file(file, *link, false), -1);
    // The mirror is announced once, before the file's meter starts.
    EXPECT_EQ(recorder.events.at(0).first, Event::kConnecting);
    EXPECT_EQ(recorder.events.at(1).first, Event::kProgress);
    return {recorder.words(Event::kRetry), recorder.words(Event::kError).size()};
}

// A proxy or mirror that cannot be used fails the run with its reason, never its password.
TEST(AttemptLoop, AnUnusableProxyOrMirrorIsRecordedWithItsReason) {
    for (const auto &[url, proxy, text] :
         {std::tuple{"ftp://h/x", "h:1", "proxy 'h:1': it must begin with http://"},
          {"ftp://h/x", "http://u:p@ss@h:1",
           "proxy 'http://u:***@h:1': an '@' in the user or password must be written %40"},
          {"ftp://u:pw@h:70000/x", "",
           "mirror 'ftp://u:***@h:70000/x': it names no host and port to connect to"},
          {"http://h:99999/x", "",
           "mirror 'http://h:99999/x': it names no host and port to connect to"}}) {
        Recorder recorder;
        recorder.settings.mirror_urls = {url};
        recorder.settings.use_proxy = *proxy != '\0';
        recorder.settings.proxy = proxy;
        EXPECT_EQ(engine_open_link(&recorder.context), nullptr);
        EXPECT_EQ(recorder.context.io.error.text, text);
    }
}

// FTP's reading of the count (one attempt that cannot wait) and its goodbye's
// own wait show end to end, in the FTP fault table.
TEST(AttemptLoop, NoAttemptBelowZeroAndNoLimitAtZeroForLocalMirrors) {
    EXPECT_EQ(attempts_of(-1), std::make_pair(Retries{}, size_t{0}));
    // Only a stop ends it: set at the third retry, it breaks off the pause
    // after that attempt (four attempts' errors, then the break's).
    EXPECT_EQ(attempts_of(0, 3), std::make_pair(Retries{{1, 0}, {2, 0}, {3, 0}}, size_t{5}));
}

TEST(Meter, RatesScaleByPowersOf1024) {
    testing::internal::CaptureStdout();
    const uint64_t kRates[][2] = {{51200000, 1000}, {51200000, 0},   {1024000, 1000},
                                  {1025000, 1000},  {1ULL << 40, 1}, {2ULL << 50, 1}};
    for (const auto &[bytes_x1000, ms] : kRates) print_rate(bytes_x1000, ms);  // 0 ms counts as 1
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " 50.0 KB/s 48.8 MB/s 1024.0  B/s 1.0 KB/s 1024.0 GB/s 2048.0 TB/s");
}

// Progress in large events draws the meter that small ones draw: the same
// marks, line heads and percentages, from the start or a resumed copy.
TEST(Meter, LinesDoNotDependOnTheEventSize) {
    clock_set_for_testing(1000);  // no time passes: every rate is the same
    auto draw = [](int32_t step, int32_t start, int32_t size = 330000, bool closing = false) {
        RunState state;
        FileEvent file{.name = "file", .size = size, .done = start};
        testing::internal::CaptureStdout();
        meter_progress(&state, file);
        if (closing) clock_set_for_testing(3000);
        file.name = nullptr;
        while (file.done < file.size) {
            file.done = std::min(file.done + step, file.size);
            meter_progress(&state, file);
        }
        if (closing) meter_end(&state);
        return testing::internal::GetCapturedStdout();
    };
    for (const int32_t start : {0, 70000}) {
        const std::string small = draw(4096, start);
        EXPECT_EQ(draw(65536, start), small) << start;
        EXPECT_EQ(draw(160000, start), small) << start;
    }
    // The closing line: the whole file's bytes over its whole time.
    const std::string closing = draw(2048000, 0, 2048000, true);
    EXPECT_TRUE(closing.ends_with("( 1000.0 KB/s) [2048000]\n")) << closing;
    clock_set_for_testing(-1);
}

}  // namespace
