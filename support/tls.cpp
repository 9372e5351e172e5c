// TLS through OpenSSL on a non-blocking socket: every call that would block
// waits with the sliced waits of the plain connections, so time-outs,
// spinner and user breaks behave alike.
#include "support/tls.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/error.h"
#include "support/data_io.h"

namespace {

// What one receive from the socket may bring into OpenSSL's buffer.
constexpr size_t kReadAhead = 64 * 1024;

// OpenSSL writes to the socket with write(): a peer that has gone would
// raise SIGPIPE and end the process. The signal is held back around every
// run of calls that may write (reads too answer a key update or send an
// alert), and one raised by them is taken away unseen. Where SIGPIPE was
// held back already, nothing is changed.
class PipeSilence {
   public:
    PipeSilence() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~PipeSilence() {
        const int saved = errno;
        sigset_t pending;
        if (sigismember(&old_, SIGPIPE) != 1) {
            if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
                const timespec now{0, 0};
                while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
                }
            }
            pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        }
        errno = saved;
    }
    PipeSilence(const PipeSilence &) = delete;
    PipeSilence &operator=(const PipeSilence &) = delete;

   private:
    sigset_t pipe_;
    sigset_t old_;
};

// The reason of a queued OpenSSL error; system errors carry an errno.
std::string error_reason(const OpenSsl &calls, unsigned long error) {
    if (ERR_SYSTEM_ERROR(error)) return strerror(ERR_GET_REASON(error));
    const char *reason = calls.ERR_reason_error_string(error);
    return reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(error));
}

// What the failed call `code` (SSL_get_error) came to, emptying the queue:
// a refused certificate with the verifier's reason, the first queued error,
// the socket's errno, or the end.
TlsSession::Failure describe(const OpenSsl &calls, SSL *ssl, int code, int error) {
    TlsSession::Failure failure;
    const unsigned long first = calls.ERR_peek_error();
    const long verdict = ssl != nullptr ? calls.SSL_get_verify_result(ssl) : X509_V_OK;
    if (verdict != X509_V_OK) {
        failure.reason =
            error_reason(calls, ERR_PACK(ERR_LIB_SSL, 0, SSL_R_CERTIFICATE_VERIFY_FAILED)) + ": " +
            calls.X509_verify_cert_error_string(verdict);
    } else if (first != 0) {
        failure.reason = error_reason(calls, first);
    } else if (code == SSL_ERROR_SYSCALL && error != 0) {
        failure.error = error;
    } else {
        failure.reason = "connection closed";
    }
    calls.ERR_clear_error();
    return failure;
}

// The host as certificates name it: without the brackets of a URL.
std::string bare_host(const std::string &host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

bool is_address(const std::string &host) {
    in6_addr address;
    return inet_pton(AF_INET, host.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

double seconds_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool would_block(int code) {
    return code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE;
}

}  // namespace

std::string tls_peer_name(const std::string &host, uint16_t port) {
    return bracket_host(host) + ":" + std::to_string(port);
}

namespace {

// The CA file read ahead by tls_preload_ca_file.
struct PreloadedCa {
    std::string path;
    std::string text;
    int error = 0;  // errno of the read that failed
};

PreloadedCa &preloaded_ca() {
    static PreloadedCa preloaded;
    return preloaded;
}

// Adds every certificate of the PEM text to the context's store: false
// when there is none, as loading a file without one fails.
bool load_pem(const OpenSsl &calls, SSL_CTX *ctx, const std::string &text) {
    BIO *bio = calls.BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (bio == nullptr) return false;
    X509_STORE *store = calls.SSL_CTX_get_cert_store(ctx);
    int added = 0;
    while (X509 *certificate = calls.PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        if (calls.X509_STORE_add_cert(store, certificate) == 1) added++;
        calls.X509_free(certificate);
    }
    calls.BIO_free(bio);
    // The end of the text leaves an error behind; a text without any
    // certificate keeps it to be described.
    if (added > 0) calls.ERR_clear_error();
    return added > 0;
}

}  // namespace

void tls_preload_ca_file(const std::string &ca_file) {
    PreloadedCa &preloaded = preloaded_ca();
    preloaded = PreloadedCa{ca_file, {}, 0};
    constexpr size_t kCaFileLimit = size_t{16} << 20;
    FILE *file = fopen(ca_file.c_str(), "rbe");
    if (file == nullptr) {
        preloaded.error = errno;
        return;
    }
    char block[8192];
    size_t count;
    while ((count = fread(block, 1, sizeof(block), file)) > 0 &&
           preloaded.text.size() < kCaFileLimit)
        preloaded.text.append(block, count);
    if (ferror(file)) preloaded.error = errno != 0 ? errno : EIO;
    fclose(file);
}

std::unique_ptr<TlsContext> TlsContext::create(Io &io, const std::string &ca_file,
                                               const std::string &peer) {
    std::string why;
    const OpenSsl *loaded = openssl(why);
    if (loaded == nullptr) {
        record_error_text(io, ERR_TLS, "TLS with " + peer + " (" + why + ")", "dlopen");
        return nullptr;
    }
    const OpenSsl &calls = *loaded;
    calls.ERR_clear_error();
    SSL_CTX *ctx = calls.SSL_CTX_new(calls.TLS_client_method());
    std::unique_ptr<TlsContext> trust(ctx != nullptr ? new TlsContext(calls, ctx) : nullptr);
    int unread = 0;  // errno of a CA file read ahead that could not be
    bool ok = ctx != nullptr &&
              calls.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) == 1;
    if (ok) {
        calls.SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        // A peer that closes without close_notify ends the data as on a
        // plain connection: lengths, digests and the signature decide
        // whether what came is whole.
        calls.SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
        // Records are taken from the socket as many at a time as it holds
        // (what OpenSSL holds counts as received), not header and body
        // apart.
        calls.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
        calls.SSL_CTX_set_default_read_buffer_len(ctx, kReadAhead);
        const PreloadedCa &preloaded = preloaded_ca();
        if (ca_file.empty()) {
            ok = calls.SSL_CTX_set_default_verify_paths(ctx) == 1;
        } else if (preloaded.path != ca_file) {
            ok = calls.SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) == 1;
        } else {
            unread = preloaded.error;
            ok = unread == 0 && load_pem(calls, ctx, preloaded.text);
        }
    }
    if (ok) return trust;
    const TlsSession::Failure failure = describe(calls, nullptr, SSL_ERROR_SSL, errno);
    std::string reason = unread != 0          ? strerror(unread)
                         : failure.error != 0 ? strerror(failure.error)
                                              : failure.reason;
    if (!ca_file.empty()) reason = "CA file " + ca_file + ": " + reason;
    record_error_text(io, ERR_TLS, "TLS with " + peer + " (" + reason + ")", "SSL_CTX_new");
    return nullptr;
}

TlsContext::~TlsContext() {
    calls_.SSL_CTX_free(ctx_);
}

std::unique_ptr<TlsSession> TlsSession::open(Io &io, TlsContext &trust, Connection socket,
                                             const std::string &host, uint16_t port,
                                             TlsFailure &failure) {
    failure = TlsFailure::kTransient;
    const std::string peer = tls_peer_name(host, port);
    const OpenSsl &calls = trust.calls_;
    calls.ERR_clear_error();
    SSL *ssl = calls.SSL_new(trust.ctx_);
    if (ssl == nullptr) {
        record_error_text(io, ERR_TLS, "TLS with " + peer + " (out of memory)", "SSL_new");
        return nullptr;
    }
    std::unique_ptr<TlsSession> session(new TlsSession(calls, ssl, socket, peer));
    // Without a name to check every certificate would pass: refused.
    const std::string name = bare_host(host);
    bool ok =
        !name.empty() && calls.SSL_set_fd(ssl, socket) == 1 && set_nonblocking(socket, 1) == 0;
    calls.SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // Names go in the server name extension; addresses are never sent there.
    if (ok && is_address(name))
        ok = calls.X509_VERIFY_PARAM_set1_ip_asc(calls.SSL_get0_param(ssl), name.c_str()) == 1;
    else if (ok)
        ok = calls.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                            const_cast<char *>(name.c_str())) == 1 &&
             calls.SSL_set1_host(ssl, name.c_str()) == 1;
    if (!ok) {
        failure = TlsFailure::kCertificate;
        Failure setup = describe(calls, nullptr, SSL_ERROR_SSL, 0);
        if (name.empty()) setup.reason = "no host name to verify";
        session->report(io, setup, "SSL_new");
        return nullptr;
    }
    if (session->handshake(io, failure) < 0) return nullptr;
    failure = TlsFailure::kNone;
    return session;
}

TlsSession::~TlsSession() {
    calls_.SSL_free(ssl_);
}

int TlsSession::handshake(Io &io, TlsFailure &failure) {
    // The connect time-out bounds the whole handshake, however the peer
    // spreads its records.
    const double start = seconds_now();
    for (;;) {
        calls_.ERR_clear_error();
        int result;
        {
            PipeSilence silence;
            result = calls_.SSL_connect(ssl_);
        }
        const int error = errno;
        if (result == 1) return 0;
        const int code = calls_.SSL_get_error(ssl_, result);
        if (!would_block(code)) {
            if (calls_.SSL_get_verify_result(ssl_) != X509_V_OK) failure = TlsFailure::kCertificate;
            Failure why = describe(calls_, ssl_, code, error);
            if (why.error != 0) why = Failure{0, strerror(why.error)};
            return report(io, why, "SSL_connect");
        }
        const WaitFor what = code == SSL_ERROR_WANT_READ ? WaitFor::kData : WaitFor::kConnect;
        const WaitEnd end = wait_sliced(io, socket_, what);
        if (end == WaitEnd::kFailed) {
            failed_ = true;
            return -1;
        }
        if (end == WaitEnd::kExpired || (io.timeout > 0 && seconds_now() - start >= io.timeout))
            return report(io, Failure{0, "timed out"}, "SSL_connect");
    }
}

int TlsSession::report(Io &io, Failure failure, const char *call) {
    failed_ = true;
    if (failure.error != 0) return record_error_code(io, ERR_NET_SYSCALL, failure.error, call);
    return record_error_text(io, ERR_TLS, "TLS with " + peer_ + " (" + failure.reason + ")", call);
}

std::optional<WaitFor> TlsSession::read_once(char *buffer, int length, int &count) {
    size_t got = 0;
    count = 0;
    calls_.ERR_clear_error();
    const int result = calls_.SSL_read_ex(ssl_, buffer, static_cast<size_t>(length), &got);
    const int error = errno;
    if (result == 1) {
        count = static_cast<int>(got);
        return std::nullopt;
    }
    const int code = calls_.SSL_get_error(ssl_, result);
    if (would_block(code)) return code == SSL_ERROR_WANT_READ ? WaitFor::kData : WaitFor::kConnect;
    if (code == SSL_ERROR_ZERO_RETURN) {
        ended_ = true;
        return std::nullopt;
    }
    failed_ = true;
    held_ = describe(calls_, ssl_, code, error);
    return std::nullopt;
}

Receipt TlsSession::receive(Io &io, char *buffer, int length) {
    if (buffer == nullptr || length < 0) return {ReceiveEnd::kFailed};
    // As on a plain socket, a read that found its outcome at once raises
    // the event of a wait that found it; one that waited raised it then.
    bool waited = false;
    for (;;) {
        int count = 0;
        std::optional<WaitFor> needs;
        if (!held_ && !ended_ && length > 0) {
            PipeSilence silence;
            needs = read_once(buffer, length, count);
            if (count > 0) count += top_up(buffer + count, length - count);
        }
        if (needs) {
            const WaitEnd ready = wait_for_data(io, socket_, *needs);
            if (ready != WaitEnd::kReady)
                return {ready == WaitEnd::kExpired ? ReceiveEnd::kExpired
                                                   : ReceiveEnd::kWaitFailed};
            waited = true;
            continue;
        }
        if (!waited) events_of(io).data_ready();
        if (held_) {
            Failure failure = std::move(*held_);
            held_.reset();
            report(io, std::move(failure), "recv");
            return {ReceiveEnd::kFailed};
        }
        return receipt_of(count);
    }
}

int TlsSession::receive_now(char *buffer, int length) {
    PipeSilence silence;
    return top_up(buffer, length);
}

int TlsSession::top_up(char *buffer, int length) {
    int total = 0;
    while (total < length && !held_ && !ended_) {
        int count = 0;
        // Would block; the end or a failure shows next time.
        if (read_once(buffer + total, length - total, count) || count == 0) break;
        total += count;
    }
    return total;
}

int TlsSession::send(Io &io, const char *data, size_t size) {
    for (;;) {
        size_t written = 0;
        calls_.ERR_clear_error();
        int result;
        {
            PipeSilence silence;
            result = calls_.SSL_write_ex(ssl_, data, size, &written);
        }
        const int error = errno;
        if (result == 1) return 0;
        const int code = calls_.SSL_get_error(ssl_, result);
        if (!would_block(code)) return report(io, describe(calls_, ssl_, code, error), "send");
        const WaitFor what = code == SSL_ERROR_WANT_READ ? WaitFor::kData : WaitFor::kConnect;
        const WaitEnd end = wait_sliced(io, socket_, what);
        if (end == WaitEnd::kExpired) events_of(io).timeout();
        if (end != WaitEnd::kReady) {
            failed_ = true;
            return -1;
        }
    }
}

bool TlsSession::quiet() {
    if (closed_ || failed_ || ended_ || held_) return false;
    if (calls_.SSL_has_pending(ssl_) == 1) return false;
    if (connection_idle(socket_) == 1) return true;
    // Something arrived: a record without data leaves the session wanting
    // more, which is quiet; data or the end is not.
    char byte;
    size_t got = 0;
    calls_.ERR_clear_error();
    int result;
    {
        PipeSilence silence;
        result = calls_.SSL_peek_ex(ssl_, &byte, 1, &got);
    }
    if (result == 1) return false;
    const int code = calls_.SSL_get_error(ssl_, result);
    calls_.ERR_clear_error();
    if (code == SSL_ERROR_WANT_READ) return true;
    if (code == SSL_ERROR_ZERO_RETURN)
        ended_ = true;
    else
        failed_ = true;
    return false;
}

void TlsSession::close() {
    if (closed_) return;
    closed_ = true;
    if (failed_) return;
    calls_.ERR_clear_error();
    PipeSilence silence;
    // One call sends ours; waiting for the peer's would only delay the close.
    calls_.SSL_shutdown(ssl_);
    calls_.ERR_clear_error();
}
