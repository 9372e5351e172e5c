// Connection layer over loopback: sliced connect, refusals, listening and
// filtered accept, close reports, idle and readable tests, error numbers.
#include "support/connect.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>

#include <cerrno>
#include <chrono>

#include "tests/unit/support/event_recorder.h"

namespace {

TEST(ErrorNumber, ResolverCallsTakeTheResolverNumber) {
    h_errno = HOST_NOT_FOUND;
    errno = ECONNRESET;
    EXPECT_EQ(error_number("gethostbyname"), HOST_NOT_FOUND);
    EXPECT_EQ(error_number("getservbyname"), HOST_NOT_FOUND);
    EXPECT_EQ(error_number("connect"), ECONNRESET);
    EXPECT_EQ(error_number("recv"), ECONNRESET);
    EXPECT_EQ(error_number("zzz"), ECONNRESET);
    EXPECT_EQ(error_number(nullptr), ECONNRESET);
}

TEST(RecordError, FillsTheRecordAndRaisesOneError) {
    EventRecorder recorder;
    errno = EPIPE;
    EXPECT_EQ(record_error(&recorder.context, ERR_FILE_SYSCALL, "write"), -1);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].code, UI_ERROR);
    EXPECT_EQ(recorder.error.class_, ERR_FILE_SYSCALL);
    EXPECT_EQ(recorder.error.code, EPIPE);
    EXPECT_STREQ(recorder.error.call, "write");
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

TEST_F(LoopbackConnect, ConnectsToDottedAddressInBlockingMode) {
    connection = 12345;  // overwritten, not closed
    ASSERT_EQ(open("127.0.0.1"), 0);
    ASSERT_GE(connection, 0);
    EXPECT_NE(connection, 12345);
    EXPECT_EQ(fcntl(connection, F_GETFL) & O_NONBLOCK, 0);
    auto connecting = recorder.of(UI_CONNECTING);
    ASSERT_EQ(connecting.size(), 1u);
    EXPECT_EQ(connecting[0].local_host, "localhost");
    EXPECT_EQ(connecting[0].local_port, 0);
    EXPECT_EQ(connecting[0].remote_host, "127.0.0.1");
    EXPECT_EQ(connecting[0].remote_port, port);
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
}

TEST_F(LoopbackConnect, ResolvesHostNames) {
    ASSERT_EQ(open("localhost"), 0);
    EXPECT_EQ(recorder.of(UI_CONNECTING).at(0).remote_host, "localhost");
}

TEST_F(LoopbackConnect, RefusedConnectionRecordsConnectWithTheRefusal) {
    close(listener);  // nobody listens on that port now
    listener = -1;
    EXPECT_EQ(open("127.0.0.1"), -1);
    EXPECT_EQ(connection, -1);
    EXPECT_EQ(recorder.error.class_, ERR_NET_SYSCALL);
    EXPECT_EQ(recorder.error.code, ECONNREFUSED);
    EXPECT_STREQ(recorder.error.call, "connect");
    EXPECT_EQ(recorder.count(UI_ERROR), 1u);
    // The socket is closed without a report.
    EXPECT_EQ(recorder.count(UI_CONNECTION_CLOSED), 0u);
}

TEST_F(LoopbackConnect, CloseReportsBothEndsWhenAsked) {
    ASSERT_EQ(open("127.0.0.1"), 0);
    uint16_t local = local_port_of(connection);
    ASSERT_EQ(connection_close(&recorder.context, &connection, 1), 0);
    EXPECT_EQ(connection, -1);
    auto closed = recorder.of(UI_CONNECTION_CLOSED);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].local_host, "127.0.0.1");
    EXPECT_EQ(closed[0].local_port, local);
    EXPECT_EQ(closed[0].remote_host, "127.0.0.1");
    EXPECT_EQ(closed[0].remote_port, port);

    recorder.events.clear();
    EXPECT_EQ(connection_close(&recorder.context, &connection, 1), -1);
    EXPECT_EQ(connection_close(&recorder.context, nullptr, 1), -1);
    EXPECT_TRUE(recorder.events.empty());
}

TEST(ConnectionOpen, UnknownHostRecordsTheResolverError) {
    EventRecorder recorder;
    Connection connection = -1;
    EXPECT_EQ(connection_open(&recorder.context, &connection, "qavo-no-such-host.invalid", 80, 0,
                              nullptr),
              -1);
    EXPECT_EQ(connection, -1);
    EXPECT_EQ(recorder.error.class_, ERR_NET_SYSCALL);
    EXPECT_STREQ(recorder.error.call, "gethostbyname");
    EXPECT_EQ(recorder.error.code, h_errno);
    EXPECT_NE(recorder.error.code, 0);
    EXPECT_EQ(recorder.count(UI_CONNECTING), 0u);
    EXPECT_EQ(recorder.count(UI_ERROR), 1u);
}

// A loopback listener whose accept queue is full drops further SYNs, so a
// connect to it stays unanswered. Returns the listener, filler sockets in
// *fillers, or -1 when the system answers anyway.
int unanswering_listener(uint16_t *port, std::vector<int> *fillers) {
    int listener = loopback_listener(port, 0);
    if (listener < 0) return -1;
    sockaddr_in address = loopback_address("127.0.0.1", *port);
    for (int attempt = 0; attempt < 8; attempt++) {
        int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        fillers->push_back(filler);
        pollfd wait{filler, POLLOUT, 0};
        if (poll(&wait, 1, 300) == 0) return listener;
    }
    close(listener);
    return -1;
}

TEST(ConnectionOpen, UnansweredConnectWaitsSixteenSlicesPerSecond) {
    uint16_t port = 0;
    std::vector<int> fillers;
    int listener = unanswering_listener(&port, &fillers);
    if (listener < 0) GTEST_SKIP() << "the system answers connects beyond the backlog";
    EventRecorder recorder(1);
    Connection connection = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connection_open(&recorder.context, &connection, "127.0.0.1", port, 0, nullptr), -1);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(connection, -1);
    auto spins = recorder.of(UI_SPIN_IO);
    ASSERT_EQ(spins.size(), 16u);
    for (int index = 0; index < 16; index++) {
        EXPECT_EQ(spins[index].words[0], index);
        EXPECT_EQ(spins[index].words[1], 16);
    }
    // Running out of slices is not reported.
    EXPECT_EQ(recorder.count(UI_ERROR), 0u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
    for (int filler : fillers) close(filler);
    close(listener);
}

TEST(ConnectionOpen, WithoutTimeoutTheWaitOnlyEndsByUserBreak) {
    uint16_t port = 0;
    std::vector<int> fillers;
    int listener = unanswering_listener(&port, &fillers);
    if (listener < 0) GTEST_SKIP() << "the system answers connects beyond the backlog";
    EventRecorder recorder(0);
    recorder.answer = [&](const RecordedEvent &event) {
        return event.code == UI_SPIN_IO && recorder.count(UI_SPIN_IO) == 20 ? -1 : 0;
    };
    Connection connection = -1;
    EXPECT_EQ(connection_open(&recorder.context, &connection, "127.0.0.1", port, 0, nullptr), -1);
    EXPECT_EQ(connection, -1);
    auto spins = recorder.of(UI_SPIN_IO);
    ASSERT_EQ(spins.size(), 20u);  // beyond one second's 16 slices
    for (const RecordedEvent &spin : spins) {
        EXPECT_EQ(spin.words[0], 0);
        EXPECT_EQ(spin.words[1], 16);
    }
    EXPECT_EQ(recorder.error.class_, ERR_UPDATE);
    EXPECT_EQ(recorder.error.code, UPD_USER_BREAK);
    EXPECT_STREQ(recorder.error.call, "callback");
    EXPECT_EQ(recorder.count(UI_ERROR), 1u);
    for (int filler : fillers) close(filler);
    close(listener);
}

TEST(ConnectionOpen, ListeningModeWritesBackTheChosenPort) {
    EventRecorder recorder;
    Connection connection = -1;
    sockaddr_in address = loopback_address("127.0.0.1", 0);
    ASSERT_EQ(connection_open(&recorder.context, &connection, nullptr, 0, 1, &address), 0);
    uint16_t port = ntohs(address.sin_port);
    EXPECT_NE(port, 0);
    EXPECT_EQ(port, local_port_of(connection));
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(recorder.events.empty());
    // It really listens.
    int client = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    close(client);
    connection_close(&recorder.context, &connection, 0);
}

TEST(ConnectionOpen, ListeningFailuresLeaveTheConnectionClosed) {
    EventRecorder recorder;
    Connection connection = -1;
    EXPECT_EQ(connection_open(&recorder.context, &connection, nullptr, 0, 1, nullptr), -1);
    EXPECT_EQ(connection, -1);
    EXPECT_TRUE(recorder.events.empty());

    uint16_t port = 0;
    int taken = loopback_listener(&port);
    ASSERT_GE(taken, 0);
    sockaddr_in address = loopback_address("127.0.0.1", port);
    EXPECT_EQ(connection_open(&recorder.context, &connection, nullptr, 0, 1, &address), -1);
    EXPECT_EQ(connection, -1);
    EXPECT_EQ(recorder.error.class_, ERR_NET_SYSCALL);
    EXPECT_EQ(recorder.error.code, EADDRINUSE);
    EXPECT_STREQ(recorder.error.call, "bind");
    close(taken);
    EXPECT_EQ(connection_open(nullptr, nullptr, "127.0.0.1", port, 0, nullptr), -1);
}

TEST(ConnectionAccept, RefusesPeersOtherThanTheExpectedOne) {
    EventRecorder recorder;
    Connection connection = -1;
    sockaddr_in address = loopback_address("127.0.0.1", 0);
    ASSERT_EQ(connection_open(&recorder.context, &connection, nullptr, 0, 1, &address), 0);
    int listener = connection;

    int stranger = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in stranger_address = loopback_address("127.0.0.2", 0);
    ASSERT_EQ(
        bind(stranger, reinterpret_cast<sockaddr *>(&stranger_address), sizeof(stranger_address)),
        0);
    ASSERT_EQ(connect(stranger, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    int server = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(server, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);

    ASSERT_EQ(connection_accept(&recorder.context, &connection, htonl(INADDR_LOOPBACK)), 0);
    EXPECT_NE(connection, listener);
    // The stranger was turned away without an announcement.
    char byte;
    pollfd turned_away{stranger, POLLIN, 0};
    ASSERT_EQ(poll(&turned_away, 1, 2000), 1);
    EXPECT_EQ(recv(stranger, &byte, 1, 0), 0);
    ASSERT_EQ(recorder.count(UI_CONNECTING), 1u);
    EXPECT_EQ(recorder.count(UI_CONNECTION_CLOSED), 0u);
    const RecordedEvent connecting = recorder.of(UI_CONNECTING)[0];
    EXPECT_EQ(connecting.local_host, "127.0.0.1");  // the peer comes first
    EXPECT_EQ(connecting.local_port, local_port_of(server));
    EXPECT_EQ(connecting.remote_host, "127.0.0.1");
    EXPECT_EQ(connecting.remote_port, ntohs(address.sin_port));
    // The accepted socket talks to the expected peer; the listener is gone.
    EXPECT_EQ(send(server, "x", 1, 0), 1);
    EXPECT_EQ(recv(connection, &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'x');
    EXPECT_EQ(fcntl(listener, F_GETFD), -1);
    close(stranger);
    close(server);
    connection_close(&recorder.context, &connection, 0);
}

TEST(ConnectionAccept, FailureKeepsTheListeningSocket) {
    EventRecorder recorder;
    Connection connection = socket(AF_INET, SOCK_STREAM, 0);  // not listening
    ASSERT_GE(connection, 0);
    int held = connection;
    EXPECT_EQ(connection_accept(&recorder.context, &connection, htonl(INADDR_LOOPBACK)), -1);
    EXPECT_EQ(connection, held);
    EXPECT_EQ(recorder.error.class_, ERR_NET_SYSCALL);
    EXPECT_EQ(recorder.error.code, EINVAL);
    EXPECT_STREQ(recorder.error.call, "accept");
    EXPECT_EQ(connection_accept(&recorder.context, nullptr, 0), -1);
    close(held);
}

TEST(ConnectionClose, UnconnectedSocketReportsWithoutPeer) {
    EventRecorder recorder;
    Connection connection = socket(AF_INET, SOCK_STREAM, 0);
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

TEST(WaitReadable, ReportsTimeReadinessAndBadDescriptors) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    timeval brief{0, 1000};
    EXPECT_EQ(wait_readable(ends[0], &brief), 0);
    ASSERT_EQ(write(ends[1], "a", 1), 1);
    EXPECT_EQ(wait_readable(ends[0], nullptr), 1);
    EXPECT_EQ(wait_readable(-1, nullptr), -1);
    close(ends[0]);
    close(ends[1]);
}

TEST(SetNonblocking, AddsAndRemovesTheFlagOnly) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    fcntl(ends[0], F_SETFL, O_APPEND);
    EXPECT_EQ(set_nonblocking(ends[0], 1), 0);
    EXPECT_EQ(fcntl(ends[0], F_GETFL) & (O_NONBLOCK | O_APPEND), O_NONBLOCK | O_APPEND);
    EXPECT_EQ(set_nonblocking(ends[0], 0), 0);
    EXPECT_EQ(fcntl(ends[0], F_GETFL) & (O_NONBLOCK | O_APPEND), O_APPEND);
    EXPECT_EQ(set_nonblocking(-1, 1), -1);
    close(ends[0]);
    close(ends[1]);
}

}  // namespace
