// The FTP client: commands and replies on the control connection, their
// classification into wanted replies and reported errors, and the data
// connection of each retrieval in passive or active mode (PASV and PORT over
// IPv4, EPSV and EPRT over IPv6).
#include "transfer/ftp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/context.h"
#include "support/data_io.h"
#include "support/line_reader.h"

namespace {

constexpr const char *kClosedByServer =
    "421 Service not available, remote server has closed connection\r\n";

enum class Reply { kWanted, kPassword, kRefused, kClosing, kBad };

constexpr int kWantedCodes[] = {110, 120, 125, 200, 202, 211, 212, 213, 214,
                                215, 220, 221, 225, 226, 230, 250, 350};
constexpr int kRefusedCodes[] = {332, 450, 451, 500, 501, 502, 503,
                                 504, 530, 532, 550, 551, 552, 553};

template <size_t N>
constexpr bool listed(const int (&codes)[N], int code) {
    for (int listed_code : codes)
        if (listed_code == code) return true;
    return false;
}

// What each reply code means to this client; 227 and 229 only mean
// something to PASV and EPSV, which read them before the table is consulted.
constexpr Reply classify(int code) {
    if (listed(kWantedCodes, code)) return Reply::kWanted;
    if (code == 331) return Reply::kPassword;
    if (listed(kRefusedCodes, code)) return Reply::kRefused;
    if (code == 421) return Reply::kClosing;
    return Reply::kBad;
}

// Appends one line to the reply, within the bound.
int append_reply(FtpClient &client, const std::string &line) {
    if (client.reply.size() + line.size() + 1 > kFtpReplyLimit) return -1;
    client.reply += line;
    return 0;
}

// The code of a reply's last line: its leading number when the fourth
// character is a blank; 0 (not last) otherwise, so "230-" lines and text
// lines keep the reply open.
int last_line_code(const char *line, size_t length) {
    if (length < 4 || line[3] != ' ') return 0;
    // strtol skips leading blanks, so the number may be long: keep it in
    // range rather than let it wrap into a code that means something.
    long code = strtol(line, nullptr, 10);
    if (code > INT_MAX) return INT_MAX;
    if (code < INT_MIN) return INT_MIN;
    return static_cast<int>(code);
}

// One number of a PASV reply, as %d reads it: blanks, a sign, digits.
// Values beyond a byte are cut off early so nothing can overflow.
const char *read_number(const char *at, long *value) {
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) at++;
    bool negative = *at == '-';
    if (*at == '-' || *at == '+') at++;
    if (*at < '0' || *at > '9') return nullptr;
    long number = 0;
    for (; *at >= '0' && *at <= '9'; at++)
        if (number < 1000) number = number * 10 + (*at - '0');
    *value = negative ? -number : number;
    return at;
}

}  // namespace

int ftp_send(FtpClient &client, const char *format, ...) {
    if (format == nullptr || client.control < 0) return -1;
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(client.command, sizeof(client.command), format, arguments);
    va_end(arguments);
    if (length < 0) return -1;
    if (length >= kFtpCommandSize) length = kFtpCommandSize - 1;
    events_of(client.context->io).sent_line(client.command);
    return static_cast<int>(connection_send(client.context->io, client.control, client.received,
                                            client.command, static_cast<size_t>(length)));
}

int ftp_read_reply(FtpClient &client) {
    client.reply.clear();
    int code = 0;
    do {
        if (read_line(client.context->io, client.budget, client.control, client.received,
                      client.line) != LineOutcome::kWhole)
            return -1;
        if (append_reply(client, client.line) < 0) return -1;
        code = last_line_code(client.line.c_str(), client.line.size());
    } while (code == 0);
    events_of(client.context->io).received_line(client.reply.c_str());
    return code;
}

int ftp_handle_reply(FtpClient &client, int code) {
    EngineContext *context = client.context;
    if (context != nullptr) {
        context->io.error.class_ = ERR_FTP;
        context->io.error.call = "ftp_handle_reply";
    }
    switch (classify(code)) {
        case Reply::kWanted:
            return 0;
        case Reply::kPassword:
            client.need_password = true;
            return 0;
        case Reply::kRefused:
            return record_error_code(context->io, ERR_FTP, code, "ftp_handle_reply");
        case Reply::kClosing:
            ftp_close_control(client);
            return record_error_code(context->io, ERR_FTP, 421, "ftp_handle_reply");
        case Reply::kBad:
            break;
    }
    return record_error_code(context->io, ERR_FTP, 1, "ftp_handle_reply");
}

int ftp_connect(FtpClient &client) {
    if (client.port == 0) return -1;
    received_clear(&client.received);
    if (connection_open(client.context->io, client.control, client.host.c_str(),
                        static_cast<uint16_t>(client.port)) < 0)
        return -1;
    int code;
    // 120: the server will be ready in a while; its next reply is the real one.
    while ((code = ftp_read_reply(client)) == 120) {
    }
    if (code < 0) {
        events_of(client.context->io).received_line(kClosedByServer);
        return ftp_handle_reply(client, 421);
    }
    return ftp_handle_reply(client, code);
}

int ftp_user(FtpClient &client) {
    if (ftp_send(client, "USER %s\r\n", client.user.c_str()) < 0) return -1;
    return ftp_handle_reply(client, ftp_read_reply(client));
}

int ftp_pass(FtpClient &client) {
    if (!client.need_password) return 0;
    if (ftp_send(client, "PASS %s\r\n", client.password.c_str()) < 0) return -1;
    return ftp_handle_reply(client, ftp_read_reply(client));
}

int ftp_type(FtpClient &client) {
    if (ftp_send(client, "TYPE %c\r\n", 'I') < 0) return -1;
    return ftp_handle_reply(client, ftp_read_reply(client));
}

int ftp_cwd(FtpClient &client) {
    if (ftp_send(client, "CWD %s\r\n", client.directory.c_str()) < 0) return -1;
    return ftp_handle_reply(client, ftp_read_reply(client));
}

PassiveReply ftp_parse_pasv(const char *reply, char *host, uint16_t *port) {
    if (reply == nullptr || host == nullptr || port == nullptr) return PassiveReply::kNoComma;
    const char *comma = strchr(reply, ',');
    if (comma == nullptr) return PassiveReply::kNoComma;
    const char *at = comma;
    while (at > reply && at[-1] >= '0' && at[-1] <= '9') at--;
    long numbers[6];
    for (int index = 0; index < 6; index++) {
        if (index > 0) {
            if (*at != ',') return PassiveReply::kMalformed;
            at++;
        }
        at = read_number(at, &numbers[index]);
        if (at == nullptr || numbers[index] < 0 || numbers[index] > 255)
            return PassiveReply::kMalformed;
    }
    snprintf(host, 16, "%ld.%ld.%ld.%ld", numbers[0], numbers[1], numbers[2], numbers[3]);
    *port = static_cast<uint16_t>((numbers[4] * 256 + numbers[5]) % 65536);
    return PassiveReply::kAddress;
}

int ftp_parse_epsv(const char *reply, uint16_t *port) {
    if (reply == nullptr || port == nullptr) return -1;
    // "(|||port|)": any printable delimiter, the same four times.
    const char *open = strchr(reply, '(');
    if (open == nullptr) return -1;
    const char delimiter = open[1];
    if (delimiter < '!' || delimiter > '~' || open[2] != delimiter || open[3] != delimiter)
        return -1;
    long number = 0;
    const char *at = open + 4;
    for (; *at >= '0' && *at <= '9' && number <= UINT16_MAX; at++)
        number = number * 10 + (*at - '0');
    if (at == open + 4 || number < 1 || number > UINT16_MAX) return -1;
    if (at[0] != delimiter || at[1] != ')') return -1;
    *port = static_cast<uint16_t>(number);
    return 0;
}

namespace {

// The server's end of the control connection, to which passive data
// connections go and from which active ones must come.
int control_peer(const FtpClient &client, sockaddr_storage &peer) {
    peer = sockaddr_storage{};
    socklen_t length = sizeof(peer);
    return getpeername(client.control, reinterpret_cast<sockaddr *>(&peer), &length);
}

// Over IPv6 there is no PASV: EPSV names the port alone, on the address
// the control connection already reaches.
int extended_passive(FtpClient &client, const sockaddr_in6 &peer) {
    if (ftp_send(client, "EPSV\r\n") < 0) return -1;
    const int code = ftp_read_reply(client);
    uint16_t port = 0;
    if (code != 229 || ftp_parse_epsv(client.reply.c_str(), &port) < 0)
        return ftp_handle_reply(client, code);
    char host[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, &peer.sin6_addr, host, sizeof(host)) == nullptr) return -1;
    return connection_open(client.context->io, client.data, host, port);
}

int extended_port(FtpClient &client, const sockaddr_in6 &address) {
    char host[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, &address.sin6_addr, host, sizeof(host)) == nullptr) return -1;
    if (ftp_send(client, "EPRT |2|%s|%d|\r\n", host, ntohs(address.sin6_port)) < 0) return -1;
    return ftp_handle_reply(client, ftp_read_reply(client));
}

}  // namespace

int ftp_pasv(FtpClient &client) {
    if (client.active) return -1;
    sockaddr_storage peer;
    if (control_peer(client, peer) == 0 && peer.ss_family == AF_INET6)
        return extended_passive(client, reinterpret_cast<const sockaddr_in6 &>(peer));
    if (ftp_send(client, "PASV\r\n") < 0) return -1;
    int code = ftp_read_reply(client);
    if (code != 227) return ftp_handle_reply(client, code);
    char host[16];
    uint16_t port = 0;
    const PassiveReply parsed = ftp_parse_pasv(client.reply.c_str(), host, &port);
    if (parsed == PassiveReply::kNoComma) return -1;
    if (parsed == PassiveReply::kMalformed) return ftp_handle_reply(client, code);
    return connection_open(client.context->io, client.data, host, port);
}

int ftp_port(FtpClient &client) {
    if (!client.active || client.control < 0) return -1;
    // The listener goes on the address the server already reaches us at.
    sockaddr_storage local{};
    socklen_t length = sizeof(local);
    if (getsockname(client.control, reinterpret_cast<sockaddr *>(&local), &length) < 0) return -1;
    if (local.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6 &>(local).sin6_port = 0;
        if (connection_listen(client.context->io, client.data, local) < 0) return -1;
        return extended_port(client, reinterpret_cast<const sockaddr_in6 &>(local));
    }
    if (local.ss_family != AF_INET) return -1;
    auto &address = reinterpret_cast<sockaddr_in &>(local);
    address.sin_port = 0;
    if (connection_listen(client.context->io, client.data, local) < 0) return -1;
    char text[16];
    snprintf(text, sizeof(text), "%s", inet_ntoa(address.sin_addr));
    for (char *at = text; *at != '\0'; at++)
        if (*at == '.') *at = ',';
    uint16_t port = ntohs(address.sin_port);
    if (ftp_send(client, "PORT %s,%d,%d\r\n", text, port / 256, port % 256) < 0) return -1;
    return ftp_handle_reply(client, ftp_read_reply(client));
}

int ftp_rest(FtpClient &client, const char *offset) {
    if (offset == nullptr) return -1;
    if (ftp_send(client, "REST %s\r\n", offset) < 0) return -1;
    return ftp_handle_reply(client, ftp_read_reply(client));
}

// Waits on the PORT listener for the server's connection within the file's
// budget of expired waits, so a server that never connects cannot hold the
// run; then accepts only the server's own address.
static int accept_server(FtpClient &client) {
    sockaddr_storage peer;
    if (control_peer(client, peer) < 0) return -1;
    EngineContext *context = client.context;
    for (;;) {
        if (!client.budget.may_wait()) return record_error_code(context->io, ERR_FTP, 2, "accept");
        const WaitEnd ready = wait_for_data(context->io, client.data);
        if (ready == WaitEnd::kReady) break;
        client.budget.spend();
        if (ready == WaitEnd::kFailed) return -1;
    }
    return connection_accept(context->io, client.data, peer);
}

int ftp_retr(FtpClient &client, const std::string &name, CopyTarget &copy) {
    if (ftp_send(client, "RETR %s\r\n", name.c_str()) < 0) return -1;
    int code = ftp_read_reply(client);
    if (code == 125 || code == 150) {
        if (client.active && accept_server(client) < 0) return -1;
        // A short or broken transfer is judged by the server's closing reply;
        // one that brought more than the file can hold fails whatever it says.
        uint32_t remaining = kTransferAll;
        const bool too_large =
            copy.receive(client.data, remaining, socket_read) == CopyOutcome::kTooLarge;
        events_of(client.context->io).transfer_done();
        ftp_close_data(client);
        const int result = ftp_handle_reply(client, ftp_read_reply(client));
        return too_large ? -1 : result;
    }
    if (code == 450 || code == 550) {
        int result = ftp_handle_reply(client, code);
        // The next file logs in anew on a fresh control connection.
        ftp_quit(client);
        return result;
    }
    return ftp_handle_reply(client, code);
}

int ftp_quit(FtpClient &client) {
    if (ftp_send(client, "QUIT\r\n") < 0) return -1;
    int code = ftp_read_reply(client);
    int result = code == 221 ? 0 : ftp_handle_reply(client, code);
    ftp_close_data(client);
    ftp_close_control(client);
    return result;
}

int ftp_close_control(FtpClient &client) {
    int result = received_close(client.context->io, client.control, client.received, true);
    client.reply.clear();
    client.line.clear();
    return result;
}

int ftp_close_data(FtpClient &client) {
    return connection_close(client.context->io, client.data, true);
}

FtpClient::~FtpClient() {
    if (control >= 0) close(control);
    if (data >= 0) close(data);
}
