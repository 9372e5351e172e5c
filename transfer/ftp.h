// The FTP client: the control dialogue with one server (login, type,
// directory, passive or active data connections, restart, retrieval, quit).
#pragma once

#include <cstdint>
#include <string>

#include "core/context.h"
#include "support/budget.h"
#include "support/connect.h"
#include "support/received.h"
#include "transfer/copy_target.h"

constexpr int32_t kFtpCommandSize = 512;
// A reply (all lines together) beyond this is refused: no server greets or
// answers with more, and a peer must not make us allocate without bound.
constexpr uint32_t kFtpReplyLimit = uint32_t{1} << 16;
// The reply to RETR of a file the server does not have.
constexpr int32_t kFtpNoSuchFile = 550;

struct FtpClient {
    FtpClient(EngineContext *client_context, TransferBudget &file_budget)
        : context(client_context), budget(file_budget) {}
    FtpClient(const FtpClient &) = delete;
    FtpClient &operator=(const FtpClient &) = delete;
    // Whatever is still open is closed without a word: the goodbye is the
    // plugin's.
    ~FtpClient();

    std::string host;
    int32_t port = 0;
    std::string user;
    std::string password;
    std::string directory;  // changed to after login, relative to the login directory
    Connection control = -1;
    Received received;  // what came on `control` beyond the replies read
    Connection data = -1;
    char command[kFtpCommandSize] = {};  // the last command as sent
    std::string reply;                   // the last complete reply, every line with its end
    std::string line;                    // read_line's buffer
    bool active = false;         // data connections with PORT (EPRT) rather than PASV (EPSV)
    bool need_password = false;  // a 331 was seen
    EngineContext *context;      // not owned
    TransferBudget &budget;      // the engine's, of the file under way
};

int ftp_send(FtpClient &client, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The code of one complete reply (the number on its last line), or -1.
int ftp_read_reply(FtpClient &client);
// 0 for a wanted reply; -1, recorded and reported, for any other.
int ftp_handle_reply(FtpClient &client, int code);
int ftp_connect(FtpClient &client);
int ftp_user(FtpClient &client);
int ftp_pass(FtpClient &client);
int ftp_type(FtpClient &client);
int ftp_cwd(FtpClient &client);
int ftp_pasv(FtpClient &client);
int ftp_port(FtpClient &client);
int ftp_rest(FtpClient &client, const char *offset);
// Retrieves the file into the copy, after what it holds.
int ftp_retr(FtpClient &client, const std::string &name, CopyTarget &copy);
int ftp_quit(FtpClient &client);
int ftp_close_control(FtpClient &client);
int ftp_close_data(FtpClient &client);

// What a 227 reply held.
enum class PassiveReply {
    kAddress,
    kNoComma,    // no address at all
    kMalformed,  // the six numbers from the one before the first comma are not there or not bytes
};
// Reads the address and port of a 227 reply into dotted text (16 bytes) and
// *port.
PassiveReply ftp_parse_pasv(const char *reply, char *host, uint16_t *port);
// Reads the port of a 229 reply, "(|||port|)" with any printable delimiter,
// into *port: 0; -1 when it is not there or not a port from 1 to 65535.
int ftp_parse_epsv(const char *reply, uint16_t *port);
