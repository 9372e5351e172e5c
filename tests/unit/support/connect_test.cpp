// Connection layer over loopback: sliced connect, refusals, listening and
// filtered accept, close reports, idle and readable tests, error numbers.
#include "support/connect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <tuple>

#include "tests/unit/support/event_recorder.h"

namespace {

using Error = std::tuple<int, int, std::string>;
Error error_of(const EventRecorder &r) {
    return {r.error.class_, r.error.code, r.error.call != nullptr ? r.error.call : ""};
}
using Peers = std::tuple<std::string, int, std::string, int>;
Peers peers_of(const RecordedEvent &e) {
    return {e.local_host, e.local_port, e.remote_host, e.remote_port};
}
sockaddr *as_sockaddr(sockaddr_in *address) {
    return reinterpret_cast<sockaddr *>(address);
}

TEST(ErrorNumber, ResolverCallsTakeTheResolverNumberAndRecordErrorRaisesOnce) {
    h_errno = HOST_NOT_FOUND;
    errno = ECONNRESET;
    EXPECT_EQ(error_number("gethostbyname"), HOST_NOT_FOUND);
    EXPECT_EQ(error_number("getservbyname"), HOST_NOT_FOUND);
    for (const char *other : {"connect", "recv", "zzz", static_cast<const char *>(nullptr)})
        EXPECT_EQ(error_number(other), ECONNRESET) << (other ? other : "null");
    EventRecorder recorder;
    errno = EPIPE;
    EXPECT_EQ(record_error(&recorder.context, ERR_FILE_SYSCALL, "write"), -1);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].code, UI_ERROR);
    EXPECT_EQ(error_of(recorder), Error(ERR_FILE_SYSCALL, EPIPE, "write"));
}

// A client of a loopback listener.
class LoopbackConnect : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_GE(listener = loopback_listener(&port), 0); }
    void TearDown() override {
        connection_close(&recorder.context, &connection, 0);
        if (listener >= 0) close(listener);
    }
    int open(const char *host) {
        return connection_open(&recorder.context, &connection, host, port, 0, nullptr);
    }
    uint16_t port = 0;
    int listener = -1;
    EventRecorder recorder;
    Connection connection = -1;
};

TEST_F(LoopbackConnect, ConnectsBlockingAndCloseReportsBothEnds) {
    connection = 12345;  // overwritten, not closed
    ASSERT_EQ(open("127.0.0.1"), 0);
    ASSERT_GE(connection, 0);
    EXPECT_NE(connection, 12345);
    EXPECT_EQ(fcntl(connection, F_GETFL) & O_NONBLOCK, 0);
    auto connecting = recorder.of(UI_CONNECTING);
    ASSERT_EQ(connecting.size(), 1u);
    EXPECT_EQ(peers_of(connecting[0]), Peers("localhost", 0, "127.0.0.1", port));
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);

    uint16_t local = local_port_of(connection);
    ASSERT_EQ(connection_close(&recorder.context, &connection, 1), 0);
    EXPECT_EQ(connection, -1);
    auto closed = recorder.of(UI_CONNECTION_CLOSED);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(peers_of(closed[0]), Peers("127.0.0.1", local, "127.0.0.1", port));
    recorder.events.clear();
    EXPECT_EQ(connection_close(&recorder.context, &connection, 1), -1);
    EXPECT_EQ(connection_close(&recorder.context, nullptr, 1), -1);
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(LoopbackConnect, ResolvesHostNamesAndRecordsRefusalsAndUnknownHosts) {
    ASSERT_EQ(open("localhost"), 0);
    EXPECT_EQ(recorder.of(UI_CONNECTING).at(0).remote_host, "localhost");
    connection_close(&recorder.context, &connection, 0);

    close(listener);  // nobody listens on that port now
    listener = -1;
    recorder.events.clear();
    EXPECT_EQ(open("127.0.0.1"), -1);
    EXPECT_EQ(connection, -1);
    EXPECT_EQ(error_of(recorder), Error(ERR_NET_SYSCALL, ECONNREFUSED, "connect"));
    EXPECT_EQ(recorder.count(UI_ERROR), 1u);
    EXPECT_EQ(recorder.count(UI_CONNECTION_CLOSED), 0u);  // closed without a report

    recorder.events.clear();
    EXPECT_EQ(open("qavo-no-such-host.invalid"), -1);
    EXPECT_EQ(connection, -1);
    EXPECT_EQ(error_of(recorder), Error(ERR_NET_SYSCALL, h_errno, "gethostbyname"));
    EXPECT_NE(recorder.error.code, 0);
    EXPECT_EQ(recorder.count(UI_CONNECTING), 0u);
    EXPECT_EQ(recorder.count(UI_ERROR), 1u);
}

// A loopback listener whose accept queue is full drops further SYNs, so a
// connect to it stays unanswered; skips the test when the system answers anyway.
class Unanswered : public ::testing::Test {
   protected:
    void SetUp() override {
        listener = loopback_listener(&port, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in address = loopback_address("127.0.0.1", port);
        for (int attempt = 0; attempt < 8; attempt++) {
            int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(filler, as_sockaddr(&address), sizeof(address));
            fillers.push_back(filler);
            pollfd wait{filler, POLLOUT, 0};
            if (poll(&wait, 1, 300) == 0) return;
        }
        GTEST_SKIP() << "the system answers connects beyond the backlog";
    }
    void TearDown() override {
        for (int filler : fillers) close(filler);
        close(listener);
    }
    int open() {
        return connection_open(&recorder.context, &connection, "127.0.0.1", port, 0, nullptr);
    }
    void expect_slices(size_t count, bool advancing) {
        auto spins = recorder.of(UI_SPIN_IO);
        ASSERT_EQ(spins.size(), count);
        for (size_t i = 0; i < count; i++) {
            EXPECT_EQ(spins[i].words[0], advancing ? static_cast<int>(i) : 0) << i;
            EXPECT_EQ(spins[i].words[1], 16) << i;
        }
    }
    uint16_t port = 0;
    int listener = -1;
    std::vector<int> fillers;
    EventRecorder recorder{1};
    Connection connection = -1;
};

TEST_F(Unanswered, ConnectWaitsSixteenSlicesPerSecondUnreported) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(open(), -1);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(connection, -1);
    expect_slices(16, true);
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
}

TEST_F(Unanswered, WithoutTimeoutTheWaitOnlyEndsByUserBreak) {
    recorder.context.timeout = 0;
    recorder.answer = [&](const RecordedEvent &event) {
        return event.code == UI_SPIN_IO && recorder.count(UI_SPIN_IO) == 20 ? -1 : 0;
    };
    EXPECT_EQ(open(), -1);
    EXPECT_EQ(connection, -1);
    expect_slices(20, false);  // beyond one second's 16 slices, the index standing still
    EXPECT_EQ(error_of(recorder), Error(ERR_UPDATE, UPD_USER_BREAK, "callback"));
    EXPECT_EQ(recorder.count(UI_ERROR), 1u);
}

TEST(ConnectionAccept, ListensOnTheChosenPortAndTakesOnlyTheExpectedPeer) {
    EventRecorder recorder;
    Connection connection = -1, second = -1;
    sockaddr_in address = loopback_address("127.0.0.1", 0);
    ASSERT_EQ(connection_open(&recorder.context, &connection, nullptr, 0, 1, &address), 0);
    const uint16_t port = ntohs(address.sin_port);
    EXPECT_NE(port, 0);
    EXPECT_EQ(port, local_port_of(connection));
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(recorder.events.empty());
    // The port is taken now, so bind fails; a missing address fails unreported.
    EXPECT_EQ(connection_open(&recorder.context, &second, nullptr, 0, 1, &address), -1);
    EXPECT_EQ(error_of(recorder), Error(ERR_NET_SYSCALL, EADDRINUSE, "bind"));
    EXPECT_EQ(connection_open(&recorder.context, &second, nullptr, 0, 1, nullptr), -1);
    EXPECT_EQ(second, -1);
    EXPECT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(connection_open(nullptr, nullptr, "127.0.0.1", port, 0, nullptr), -1);
    recorder.events.clear();

    int listener = connection;
    int stranger = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in stranger_address = loopback_address("127.0.0.2", 0);
    ASSERT_EQ(bind(stranger, as_sockaddr(&stranger_address), sizeof(stranger_address)), 0);
    ASSERT_EQ(connect(stranger, as_sockaddr(&address), sizeof(address)), 0);
    int server = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(server, as_sockaddr(&address), sizeof(address)), 0);

    ASSERT_EQ(connection_accept(&recorder.context, &connection, htonl(INADDR_LOOPBACK)), 0);
    EXPECT_NE(connection, listener);
    char byte;
    pollfd turned_away{stranger, POLLIN, 0};
    ASSERT_EQ(poll(&turned_away, 1, 2000), 1);
    EXPECT_EQ(recv(stranger, &byte, 1, 0), 0);
    // The stranger went unannounced; the peer comes first.
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].code, UI_CONNECTING);
    EXPECT_EQ(peers_of(recorder.events[0]),
              Peers("127.0.0.1", local_port_of(server), "127.0.0.1", port));
    EXPECT_EQ(send(server, "x", 1, 0), 1);
    EXPECT_EQ(recv(connection, &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'x');
    EXPECT_EQ(fcntl(listener, F_GETFD), -1);  // the listener is gone
    close(stranger);
    close(server);
    connection_close(&recorder.context, &connection, 0);
}

TEST(ConnectionAccept, FailureKeepsTheSocketAndUnconnectedCloseReportsNoPeer) {
    EventRecorder recorder;
    Connection connection = socket(AF_INET, SOCK_STREAM, 0);  // not listening
    ASSERT_GE(connection, 0);
    int held = connection;
    EXPECT_EQ(connection_accept(&recorder.context, &connection, htonl(INADDR_LOOPBACK)), -1);
    EXPECT_EQ(connection, held);
    EXPECT_EQ(error_of(recorder), Error(ERR_NET_SYSCALL, EINVAL, "accept"));
    EXPECT_EQ(connection_accept(&recorder.context, nullptr, 0), -1);

    ASSERT_EQ(connection_close(&recorder.context, &connection, 1), 0);
    auto closed = recorder.of(UI_CONNECTION_CLOSED);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_TRUE(closed[0].remote_null);
    EXPECT_EQ(closed[0].remote_port, 0);
}

TEST(ConnectionIdle, OnlyAQuietOpenSocketIsIdle) {
    int ends[2];
    ASSERT_TRUE(tcp_pair(ends));
    EXPECT_EQ(connection_idle(ends[0]), 1);
    ASSERT_EQ(send(ends[1], "?", 1, 0), 1);
    pollfd wait{ends[0], POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 1000), 1);
    EXPECT_EQ(connection_idle(ends[0]), 0);
    char byte;
    ASSERT_EQ(recv(ends[0], &byte, 1, 0), 1);
    EXPECT_EQ(connection_idle(ends[0]), 1);
    close(ends[1]);
    ASSERT_EQ(poll(&wait, 1, 1000), 1);
    EXPECT_EQ(connection_idle(ends[0]), 0);  // the peer closed it
    close(ends[0]);
    EXPECT_EQ(connection_idle(-1), 0);
}

TEST(WaitReadable, TimeReadinessBadDescriptorsAndTheNonblockingFlag) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    timeval brief{0, 1000};
    EXPECT_EQ(wait_readable(ends[0], &brief), 0);
    ASSERT_EQ(write(ends[1], "a", 1), 1);
    EXPECT_EQ(wait_readable(ends[0], nullptr), 1);
    EXPECT_EQ(wait_readable(-1, nullptr), -1);

    fcntl(ends[0], F_SETFL, O_APPEND);  // other flags survive
    EXPECT_EQ(set_nonblocking(ends[0], 1), 0);
    EXPECT_EQ(fcntl(ends[0], F_GETFL) & (O_NONBLOCK | O_APPEND), O_NONBLOCK | O_APPEND);
    EXPECT_EQ(set_nonblocking(ends[0], 0), 0);
    EXPECT_EQ(fcntl(ends[0], F_GETFL) & (O_NONBLOCK | O_APPEND), O_APPEND);
    EXPECT_EQ(set_nonblocking(-1, 1), -1);
    close(ends[0]);
    close(ends[1]);
}

}  // namespace
