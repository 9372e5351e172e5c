// TLS on the protocol clients' connections, through OpenSSL: a context that
// holds what a run trusts, and a session per connection that runs the
// handshake and moves data with the same sliced waits, events and outcomes
// as the plain socket readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/io.h"
#include "support/byte_stream.h"
#include "support/connect.h"
#include "support/openssl.h"

// How opening a session failed.
enum class TlsFailure {
    kNone,
    kTransient,    // reset, closed, timed out: another attempt may do better
    kCertificate,  // the peer's certificate is not trusted, or the CA file unusable
};

// "host:port" as a TLS failure names its peer; an IPv6 host in brackets.
std::string tls_peer_name(const std::string &host, uint16_t port);

// Reads the CA file now, for a process that will not be allowed to open it
// when its first TLS connection comes: that connection's trust is then
// made from what was read (or fails as the file's open failed).
void tls_preload_ca_file(const std::string &ca_file);

// The trust of a run's TLS connections: the CA file, or the system's store
// when it is empty. Certificates are always verified.
class TlsContext {
   public:
    // Null after reporting (for `peer`) when the trust cannot be set up.
    static std::unique_ptr<TlsContext> create(Io &io, const std::string &ca_file,
                                              const std::string &peer);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

   private:
    friend class TlsSession;
    TlsContext(const OpenSsl &calls, SSL_CTX *ctx) : calls_(calls), ctx_(ctx) {}
    const OpenSsl &calls_;  // loaded for the process
    SSL_CTX *ctx_;
};

// A layer on the connection's socket: as a ByteStream it reads and writes
// the socket it was opened on, whichever the caller names.
class TlsSession final : public ByteStream {
   public:
    // Runs the handshake on the connected socket, which stays non-blocking
    // for the session's life, verifying that the certificate is for `host`.
    // Null after reporting, with the kind of failure in `failure`.
    static std::unique_ptr<TlsSession> open(Io &io, TlsContext &trust, Connection socket,
                                            const std::string &host, uint16_t port,
                                            TlsFailure &failure);
    // Frees the session without a word to the peer (see close()).
    ~TlsSession() override;
    TlsSession(const TlsSession &) = delete;
    TlsSession &operator=(const TlsSession &) = delete;

    // socket_receive over TLS: what the session holds at once, waiting
    // only when it holds nothing.
    Receipt receive(Io &io, char *buffer, int length);
    // Up to `length` bytes the session holds now, without waiting; a
    // failure is kept for the next receive.
    int receive_now(char *buffer, int length);
    // Sends all of it; 0, or -1 after reporting.
    int send(Io &io, const char *data, size_t size);
    // Whether nothing arrived unasked: records without data (a session
    // ticket, a key update) do not count.
    bool quiet();
    // Sends close_notify once, without waiting for the peer's; the socket
    // is the caller's to close.
    void close() override;

    Receipt receive(Io &io, Connection, char *buffer, int length) override {
        return receive(io, buffer, length);
    }
    int receive_now(Connection, char *buffer, int length) override {
        return receive_now(buffer, length);
    }
    ssize_t send(Io &io, Connection, const char *data, size_t size) override {
        return send(io, data, size) < 0 ? -1 : static_cast<ssize_t>(size);
    }
    bool quiet(Connection) override { return quiet(); }

    // What failed, taken from OpenSSL when the call did: the socket's errno,
    // or a text for the error line.
    struct Failure {
        int error = 0;
        std::string reason;
    };

   private:
    TlsSession(const OpenSsl &calls, SSL *ssl, Connection socket, std::string peer)
        : calls_(calls), ssl_(ssl), socket_(socket), peer_(std::move(peer)) {}
    int handshake(Io &io, TlsFailure &failure);
    // One non-blocking read into `count` (0 at the end, or with the failure
    // in held_); what the session must wait for before it can read, if so.
    std::optional<WaitFor> read_once(char *buffer, int length, int &count);
    // receive_now without holding back SIGPIPE (its caller does).
    int top_up(char *buffer, int length);
    int report(Io &io, Failure failure, const char *call);

    const OpenSsl &calls_;  // loaded for the process
    SSL *ssl_;
    Connection socket_;
    std::string peer_;             // host:port for the error lines
    std::optional<Failure> held_;  // met while topping up, for the next receive
    bool ended_ = false;           // the peer's end was read
    bool failed_ = false;          // fatal: no close_notify
    bool closed_ = false;
};
