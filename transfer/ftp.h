// The FTP client: the control dialogue with one server (login, type,
// directory, passive or active data connections, restart, retrieval, quit).
#pragma once

#include <cstdint>

#include "support/budget.h"
#include "support/connect.h"
#include "support/received.h"
#include "support/temp_copy.h"

struct EngineContext;

constexpr int32_t kFtpCommandSize = 512;
// A reply (all lines together) beyond this is refused: no server greets or
// answers with more, and a peer must not make us allocate without bound.
constexpr uint32_t kFtpReplyLimit = uint32_t{1} << 16;

struct FtpClient {
    char *host;
    int32_t port;
    char *user;
    char *password;
    char *directory;  // changed to after login, relative to the login directory
    Connection control;
    Received received;  // what came on `control` beyond the replies read
    Connection data;
    char command[kFtpCommandSize];  // the last command as sent
    char *reply;                    // the last complete reply, every line with its end
    uint32_t reply_capacity;
    char *line;  // read_line's buffer
    uint32_t line_size;
    int32_t active;          // 1: data connections with PORT; 0: with PASV
    TransferBudget budget;   // attempts and expired waits of the current file
    int32_t need_password;   // a 331 was seen
    EngineContext *context;  // not owned
};

// Moves the data of one retrieval from the client's data connection into
// the copy, after what it holds.
using FtpReceiver = int (*)(FtpClient *client, TempCopy *copy);

int ftp_send(FtpClient *client, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The code of one complete reply (the number on its last line), or -1.
int ftp_read_reply(FtpClient *client);
// 0 for a wanted reply; -1, recorded and reported, for any other.
int ftp_handle_reply(FtpClient *client, int code);
int ftp_connect(FtpClient *client);
int ftp_user(FtpClient *client);
int ftp_pass(FtpClient *client);
int ftp_type(FtpClient *client);
int ftp_cwd(FtpClient *client);
int ftp_pasv(FtpClient *client);
int ftp_port(FtpClient *client);
int ftp_rest(FtpClient *client, const char *offset);
int ftp_retr(FtpClient *client, const char *name, FtpReceiver receiver, TempCopy *copy);
int ftp_quit(FtpClient *client);
int ftp_close_control(FtpClient *client);
int ftp_close_data(FtpClient *client);

// Reads the address and port of a 227 reply into dotted text (16 bytes) and
// *port: 0; -1 when the reply holds no comma; -2 when the six numbers from
// the one before the first comma are not there or not bytes.
int ftp_parse_pasv(const char *reply, char *host, uint16_t *port);
