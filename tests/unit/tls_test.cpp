// TLS sessions against an in-process server, for what no real server lets a test time: a handshake
// left hanging, records without data before the idle test, a peer gone.
#include <openssl/ssl.h>
#include <unistd.h>

#include <thread>

#include "support/tls.h"
#include "test_util.h"

TEST(Tls, HandshakeBrokenOffQuietTicketsAndAVanishedPeer) {
    ScratchDir dir;
    const std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    if (system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                "-subj /CN=loopback -addext subjectAltName=IP:127.0.0.1 -keyout " +
                key + " -out " + cert + " 2>/dev/null")
                   .c_str()) != 0)
        GTEST_SKIP() << "the openssl command is missing";
    SocketPair pair;
    SSL_CTX *server_ctx = SSL_CTX_new(TLS_server_method());
    ASSERT_EQ(SSL_CTX_use_certificate_file(server_ctx, cert.c_str(), SSL_FILETYPE_PEM), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey_file(server_ctx, key.c_str(), SSL_FILETYPE_PEM), 1);
    SSL *server = SSL_new(server_ctx);
    SSL_set_fd(server, pair.ends[1]);
    std::thread accept([server] { SSL_accept(server); });  // sends its tickets before it returns

    Recorder recorder;
    Io &io = recorder.context.io;
    std::unique_ptr<TlsContext> trust = TlsContext::create(io, cert, "loopback");
    ASSERT_TRUE(trust);
    TlsFailure failure = TlsFailure::kTransient;
    {  // A break while the server lets the handshake hang ends the session unopened.
        const SocketPair silent;
        recorder.stop = true;
        EXPECT_FALSE(TlsSession::open(io, *trust, silent.ends[0], "127.0.0.1", 1, failure));
        EXPECT_EQ(recorder.error_text(), "2 2 callback");  // the user's break
        recorder.stop = false;
        recorder.errors.clear();
    }
    auto session = TlsSession::open(io, *trust, pair.ends[0], "127.0.0.1", 1, failure);
    accept.join();
    ASSERT_TRUE(session && failure == TlsFailure::kNone) << recorder.errors.at(0).text;
    timeval second{1, 0};
    ASSERT_EQ(wait_readable(pair.ends[0], &second), 1);  // the tickets are there, unread
    EXPECT_TRUE(session->quiet());
    ASSERT_EQ(SSL_write(server, "xy", 2), 2);
    ASSERT_EQ(wait_readable(pair.ends[0], &second), 1);
    EXPECT_FALSE(session->quiet());
    char byte = 0;
    EXPECT_EQ(std::make_pair(session->receive(io, &byte, 1).count, byte), std::make_pair(1, 'x'));
    EXPECT_FALSE(session->quiet());  // 'y' waits in the session, not in the socket

    SSL_free(server);
    SSL_CTX_free(server_ctx);
    close(std::exchange(pair.ends[1], -1));
    EXPECT_EQ(session->send(io, "GET", 3), -1);
    EXPECT_EQ(recorder.error_text(), "1 32 send");  // EPIPE, and the process is still here
}
