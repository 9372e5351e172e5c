// Console callback: event lines and counters, the download meter, rates and
// error texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cctype>
#include <string>

#include "frontend/updcons.h"
#include "tests/unit/frontend/stdout_capture.h"

namespace {

constexpr char kDots[] = " .......... .......... .......... .......... ..........";
// Replaces every "dd:dd:dd" clock reading by "hh:mm:ss".
std::string mask_clock(std::string text) {
    for (size_t i = 0; i + 8 <= text.size(); i++) {
        bool match = true;
        for (size_t k = 0; k < 8 && match; k++)
            match =
                k % 3 == 2 ? text[i + k] == ':' : isdigit(static_cast<unsigned char>(text[i + k]));
        if (match) text.replace(i, 8, "hh:mm:ss");
    }
    return text;
}

std::string rate(uint64_t bytes_x1000, int64_t ms) {
    StdoutCapture capture;
    print_rate(bytes_x1000, ms);
    return capture.finish();
}
std::string error_text(int32_t class_, int32_t code, const char *call = "read") {
    ErrorRecord record{class_, code, call};
    StdoutCapture capture;
    report_error(&record);
    return capture.finish();
}

TEST(PrintRate, ScalesByPowersOf1024AndKeepsExactly1024InTheLowerUnit) {
    EXPECT_EQ(rate(51200000, 1000), " 50.0 KB/s");
    EXPECT_EQ(rate(51200000, 0), " 48.8 MB/s");  // 0 ms counts as 1 ms
    EXPECT_EQ(rate(1024000, 1000), " 1024.0  B/s");
    EXPECT_EQ(rate(1025000, 1000), " 1.0 KB/s");
    EXPECT_EQ(rate(1048576000ULL, 1000), " 1024.0 KB/s");
    EXPECT_EQ(rate(1048577000ULL, 1000), " 1.0 MB/s");
    EXPECT_EQ(rate(1ULL << 40, 1), " 1024.0 GB/s");
    EXPECT_EQ(rate(2ULL << 40, 1), " 2.0 TB/s");
    EXPECT_EQ(rate(2ULL << 50, 1), " 2048.0 TB/s");  // no unit beyond T
    EXPECT_EQ(rate(0, 5), " 0.0  B/s");
}

TEST(ReportError, TextsOfEveryClass) {
    // System calls use the system's text, gethostbyname the resolver's.
    EXPECT_EQ(error_text(ERR_FILE_SYSCALL, ENOENT, "open"),
              std::string("Error: open (") + strerror(ENOENT) + ")\n");
    EXPECT_EQ(error_text(ERR_NET_SYSCALL, ECONNREFUSED, "connect"),
              std::string("Error: connect (") + strerror(ECONNREFUSED) + ")\n");
    EXPECT_EQ(error_text(ERR_NET_SYSCALL, HOST_NOT_FOUND, "gethostbyname"),
              std::string("Error: gethostbyname (") + hstrerror(HOST_NOT_FOUND) + ")\n");
    EXPECT_STRNE(hstrerror(HOST_NOT_FOUND), strerror(HOST_NOT_FOUND));
    EXPECT_EQ(error_text(ERR_UPDATE, UPD_BAD_MD5),
              "Last file retrieved has a bad md5sum.\n\t\t\t  Means bad connection or customer "
              "update during vendor update\n");
    EXPECT_EQ(error_text(ERR_UPDATE, UPD_USER_BREAK), "User Break\n");
    EXPECT_EQ(error_text(ERR_UPDATE, UPD_CANT_INSTALL),
              "Can't install last file. Update can't continue\n");
    EXPECT_EQ(error_text(ERR_UPDATE, UPD_TIME_SCREW),
              "Time screw detected. That means you have files newer than mirror, which is "
              "abnormal\n");
    EXPECT_EQ(error_text(ERR_UPDATE, UPD_CANT_EXECUTE),
              "Can't execute last file. Update can't continue\n");
    EXPECT_EQ(error_text(ERR_UPDATE, UPD_NO_INFO, "mailgate"),
              "Can't find any information about 'mailgate'.Update will fail\n");
    EXPECT_EQ(error_text(ERR_UPDATE, UPD_CYCLIC),
              "Cyclic dependencies between modules. Please contact tech support.\n");
    EXPECT_EQ(error_text(ERR_UPDATE, UPD_PARSER),
              "Parser Error: Can't parse information file. Please contact tech support\n");
    EXPECT_EQ(error_text(ERR_UPDATE, 9), "\n");
    EXPECT_EQ(error_text(ERR_FTP, 1), "FTP ERROR: Bad reply from server\n");
    EXPECT_EQ(error_text(ERR_FTP, 2), "FTP ERROR: Timeout\n");
    EXPECT_EQ(error_text(ERR_FTP, 550), "FTP ERROR: ftp server retuns an error code(550)\n");
    EXPECT_EQ(error_text(ERR_HTTP, 404), "HTTP ERROR: server reply is (404)\n");
    EXPECT_EQ(error_text(ERR_FILE, 3),
              "FILE ERROR: error code is (3). Please contact tech support\n");
    EXPECT_EQ(error_text(6, 7, "step"), "Unknown error(6,7,step). Please contact tech support\n");
}

TEST(Clock, MillisecondsFromTheFirstReadingAndDateAndClockStamps) {
    const int32_t first = clock_ms();
    ASSERT_GE(first, 0);
    usleep(30000);
    const int32_t elapsed = clock_ms() - first;
    EXPECT_GE(elapsed, 30);
    EXPECT_LT(elapsed, 5000);

    StdoutCapture capture;
    print_date(stdout);
    printf("|");
    print_clock(stdout);
    const std::string text = capture.finish();
    const time_t now = time(nullptr);
    char expected[64];
    ASSERT_NE(ctime_r(&now, expected), nullptr);
    EXPECT_EQ(mask_clock(text), mask_clock(std::string(expected, 24)) + "|hh:mm:ss");
}

class ConsoleTest : public ::testing::Test {
   protected:
    void SetUp() override {
        quiet = 0;
        state_.config = config_new();
        ASSERT_NE(state_.config, nullptr);
    }
    void TearDown() override {
        clock_set_for_testing(-1);
        quiet = 0;
        config_free(state_.config);
    }
    int send(int32_t code, void *data) {
        UiEvent event{code, data};
        return ui_event(&state_, &event);
    }
    std::string capture(int32_t code, void *data) {
        StdoutCapture capture;
        EXPECT_EQ(send(code, data), 0);
        return capture.finish();
    }
    void set_global(const char *name, int32_t value) {
        ConfigOption *option = config_find_option(state_.config, "global", name);
        ASSERT_NE(option, nullptr) << name;
        option->value.number = value;
    }
    // One progress event, or the end of the transfer, at a controlled clock reading.
    void progress(const char *name, int32_t size, int32_t done, int32_t at_ms) {
        clock_set_for_testing(at_ms);
        UiFileInfo info{name, nullptr, nullptr, size, done, 0};
        send(UI_PROGRESS, &info);
    }
    void transfer_done(int32_t at_ms) {
        clock_set_for_testing(at_ms);
        send(UI_TRANSFER_DONE, nullptr);
    }
    RunState state_{};
};

TEST_F(ConsoleTest, QuietPrintsNothingAndCountsNothing) {
    quiet = 1;
    UiFileInfo info{"a", "/opt/a", nullptr, 10, 0, 0};
    StdoutCapture capture;
    EXPECT_EQ(send(UI_NEEDS_UPDATE, &info), 0);
    EXPECT_EQ(send(UI_UPDATE_FILE, &info), 0);
    EXPECT_EQ(ui_event(nullptr, nullptr), 0);  // quiet is checked first
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(state_.files_to_update, 0u);
    EXPECT_EQ(state_.files_updated, 0u);
    quiet = 0;
    EXPECT_EQ(ui_event(nullptr, nullptr), -1);
    UiEvent event{UI_TIMEOUT, nullptr};
    EXPECT_EQ(ui_event(nullptr, &event), -1);
    EXPECT_EQ(ui_event(&state_, nullptr), -1);
}

TEST_F(ConsoleTest, FileEventsPrintTheirLinesAndCount) {
    UiFileInfo info{"engine.dat", "/var/opt/qavo/engine.dat", "/tmp/0a1b", 4242, 0, 0};
    const std::string needs = "File '/var/opt/qavo/engine.dat' with size 4242 needs update!\n";
    EXPECT_EQ(capture(UI_GET_INFO, &info), "Getting information file 'engine.dat'\n");
    EXPECT_EQ(capture(UI_RUN_PRE_INSTALL, &info), "Running file /tmp/0a1b\n");
    EXPECT_EQ(capture(UI_CHECK_FILE, &info),
              "Checking if file '/var/opt/qavo/engine.dat' can be updated\n");
    EXPECT_EQ(capture(UI_UPDATE_FILE, &info), "Updating file '/var/opt/qavo/engine.dat'\n");
    EXPECT_EQ(capture(UI_NEEDS_UPDATE, &info), needs);
    EXPECT_EQ(capture(UI_NEEDS_UPDATE, &info), needs);
    info.temp = nullptr;
    EXPECT_EQ(capture(UI_RUN_POST_INSTALL, &info), "Running file /var/opt/qavo/engine.dat\n");
    char module[] = "mailgate";
    EXPECT_EQ(capture(UI_INSTALL_MODULE, module), "Installing module 'mailgate'\n");
    EXPECT_EQ(state_.files_updated, 1u);
    EXPECT_EQ(state_.files_to_update, 2u);
    EXPECT_EQ(state_.modules_installed, 1u);
    EXPECT_EQ(state_.transfers_done, 0u);
}

TEST_F(ConsoleTest, VerboseAndProtocolLinesAppearOnlyWhenAsked) {
    UiFileInfo info{"qavoe.info", "/opt/x", "/tmp/tmpcopy", 1, 0, 1};
    UiPeers peers{"10.0.0.1", 40000, "10.0.0.2", 21};
    char sent[] = "USER ftp\r\n", received[] = "220 ready\r\n";
    for (int code : {UI_VERIFY_SIGNATURE, UI_VERIFY_MD5, UI_REMOVE_FILE})
        EXPECT_EQ(capture(code, &info), "") << code;
    EXPECT_EQ(capture(UI_CONNECTION_CLOSED, &peers), "");
    EXPECT_EQ(capture(UI_SENT_LINE, sent), "");
    EXPECT_EQ(capture(UI_RECEIVED_LINE, received), "");

    set_global("verbose", 1);
    EXPECT_EQ(capture(UI_VERIFY_SIGNATURE, &info), "Verifying signed file 'qavoe.info': OK\n");
    info.status = 0;
    EXPECT_EQ(capture(UI_VERIFY_SIGNATURE, &info), "Verifying signed file 'qavoe.info': MAYBE\n");
    info.status = -1;
    EXPECT_EQ(capture(UI_VERIFY_MD5, &info), "Verifying md5sum for file: /tmp/tmpcopy: FAILED\n");
    EXPECT_EQ(capture(UI_REMOVE_FILE, &info), "Removing file /tmp/tmpcopy\n");
    info.temp = nullptr;
    info.status = 1;
    EXPECT_EQ(capture(UI_VERIFY_MD5, &info), "Verifying md5sum for file: /opt/x: OK\n");
    EXPECT_EQ(capture(UI_CONNECTION_CLOSED, &peers),
              "Connection from 10.0.0.1:40000 to 10.0.0.2:21 was closed.\n");
    EXPECT_EQ(capture(UI_SENT_LINE, sent), "");  // verbose alone shows no protocol

    set_global("serverresponse", 1);
    EXPECT_EQ(capture(UI_SENT_LINE, sent), "->>- USER ftp\r\n");
    EXPECT_EQ(capture(UI_RECEIVED_LINE, received), "-<<- 220 ready\r\n");
}

TEST_F(ConsoleTest, NetworkAndSilentEvents) {
    UiPeers peers{"10.0.0.1", 40000, "mirror.example", 8080};
    EXPECT_EQ(capture(UI_CONNECTING, &peers), "Connecting to mirror.example:8080\n");
    EXPECT_EQ(mask_clock(capture(UI_TIMEOUT, nullptr)), "hh:mm:ss Timeout\n");
    uint32_t words[2] = {2, 5};
    EXPECT_EQ(mask_clock(capture(UI_RETRY, words)), "hh:mm:ss Retrying(2:5)\n");
    for (int code : {static_cast<int>(UI_EXEC), static_cast<int>(UI_DATA_READY), 24, -1})
        EXPECT_EQ(capture(code, nullptr), "") << code;
    ErrorRecord record{ERR_HTTP, 503, "get"};
    state_.column = 3000;
    EXPECT_EQ(capture(UI_ERROR, &record), "HTTP ERROR: server reply is (503)\n");
    EXPECT_EQ(state_.column, 0u);
}

TEST_F(ConsoleTest, SpinnerDrawsOnlyOnATerminal) {
    uint32_t words[2] = {0, 0};
    EXPECT_EQ(capture(UI_SPIN_WAIT, words), "");
    EXPECT_EQ(state_.spinner, 0u);

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        GTEST_SKIP() << "no pseudo-terminal available: " << strerror(errno);
    }
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0) << strerror(errno);
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(slave, STDOUT_FILENO);
    for (int code : {UI_SPIN_WAIT, UI_SPIN_IO, UI_SPIN, UI_SPIN_WAIT, UI_SPIN_WAIT})
        send(code, words);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    // Every step is flushed on its own: the terminal may hand them back in several reads.
    const std::string expected = "|\b\\\b-\b/\b|\b";
    std::string drawn;
    pollfd ready = {master, POLLIN, 0};
    while (drawn.size() < expected.size() && poll(&ready, 1, 2000) > 0) {
        char buffer[64];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        drawn.append(buffer, static_cast<size_t>(n));
    }
    close(slave);
    close(master);
    EXPECT_EQ(drawn, expected);
    EXPECT_EQ(state_.spinner, 1u);
}

// 120000 bytes in blocks of 4096 at 10 ms per KB (100 KB/s).
TEST_F(ConsoleTest, MeterDrawsTheThreeLinesOfA120000ByteFile) {
    StdoutCapture capture;
    progress("engine.dat", 120000, 0, 0);
    for (int32_t pos = 0; pos < 120000;) {
        pos = pos + 4096 < 120000 ? pos + 4096 : 120000;
        progress(nullptr, 0, pos, static_cast<int32_t>(int64_t{pos} * 10 / 1024));
    }
    transfer_done(1171);
    EXPECT_EQ(mask_clock(capture.finish()),
              std::string("Getting file engine.dat\n") + "    0K " + kDots +
                  "  42% @ 100.0 KB/s\n" + "   50K " + kDots + "  85% @ 104.2 KB/s\n" +
                  "  100K  .......... ......." + std::string(36, ' ') + " 100% @ 100.5 KB/s\n" +
                  "hh:mm:ss ( 100.1 KB/s) [120000]\n");
    EXPECT_EQ(state_.bytes_downloaded, 120000);
    EXPECT_EQ(state_.transfers_done, 1u);
    EXPECT_EQ(state_.lines, 2);
}

// A copy resumed at 100000 bytes: the part on disk is drawn with commas.
TEST_F(ConsoleTest, MeterOfAResumedTransferStartsAtTheBytesOnDisk) {
    StdoutCapture capture;
    progress("engine.dat", 120000, 100000, 0);
    progress(nullptr, 0, 104096, 40);
    progress(nullptr, 0, 120000, 80);
    transfer_done(80);
    EXPECT_EQ(mask_clock(capture.finish()),
              std::string("Getting file engine.dat\n") + "   50K " +
                  " ,,,,,,,,,, ,,,,,,,,,, ,,,,,,,,,, ,,,,,,,,,, ,,,,,,,...  85% @ 2.1 MB/s\n" +
                  "  100K  .......... ......." + std::string(36, ' ') + " 100% @ 429.7 KB/s\n" +
                  "hh:mm:ss ( 1.4 MB/s) [120000]\n");
    EXPECT_EQ(state_.bytes_downloaded, 120000);
}

// After an error the next event redraws the bytes already counted with commas.
TEST_F(ConsoleTest, MeterResynchronisesWithCommasAfterAnError) {
    StdoutCapture capture;
    progress("f", 0, 0, 0);
    progress(nullptr, 0, 10240, 100);
    ErrorRecord record{ERR_FTP, 2, "get"};
    send(UI_ERROR, &record);
    progress(nullptr, 0, 20480, 200);
    EXPECT_EQ(
        capture.finish(),
        "Getting file f\n    0K  ..........FTP ERROR: Timeout\n    0K  ,,,,,,,,,, ..........");
    EXPECT_EQ(state_.column, 20480u);
    EXPECT_EQ(state_.done, 20480u);
}

// One event carrying several lines: full lines use the event's average rate.
TEST_F(ConsoleTest, MeterDrawsFullLinesOfOneLargeEvent) {
    StdoutCapture capture;
    progress("big", 0, 0, 0);
    progress(nullptr, 0, 1024, 10);
    progress(nullptr, 0, 1024 + 3 * 51200, 1010);
    const std::string dots(kDots);
    // The first line took 10 ms plus 50176 * 1000 / 153600 ms of this event: 336 ms.
    EXPECT_EQ(capture.finish(), "Getting file big\n    0K " + dots + " 148.8 KB/s\n" + "    50K " +
                                    dots + " 150.0 KB/s\n" + "   100K " + dots + " 150.0 KB/s\n" +
                                    "  150K  .");
    EXPECT_EQ(state_.lines, 3);
}

// Rates of files beyond 4 MB use 64-bit products.
TEST_F(ConsoleTest, AverageRateOfAHugeFileDoesNotWrap) {
    StdoutCapture huge;
    progress("huge", 0, 2000000000, 0);
    transfer_done(1000);
    const std::string text = huge.finish();
    EXPECT_NE(text.find("( 1.9 GB/s) [2000000000]\n"), std::string::npos) << text;
}

}  // namespace
