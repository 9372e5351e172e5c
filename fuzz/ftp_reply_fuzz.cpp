// Fuzzes the FTP reply reader, the classifier and the PASV reply parser
// with server output arriving on a socket pair, in one block or in pieces
// picked by the last byte: every reply it accepts ends in a last line
// "NNN ", and the parsed PASV address is a dotted address.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/context.h"
#include "fuzz/feed.h"
#include "transfer/ftp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int feed = feed_socket(data, size, size > 0 ? data[size - 1] % 64 : 0);
    if (feed < 0) return 0;
    ErrorRecord error{};
    EngineContext context = fuzz_context(&error);
    FtpClient client{};
    client.control = feed;
    client.data = -1;
    client.context = &context;
    while (client.control >= 0) {
        int code = ftp_read_reply(&client);
        if (code < 0) break;
        if (client.reply == nullptr || strlen(client.reply) >= client.reply_capacity) abort();
        if (strlen(client.reply) > kFtpReplyLimit) abort();
        // A last line whose number reads as 0 never ends a reply.
        if (code == 0) abort();
        int classified = ftp_handle_reply(&client, code);
        if (classified != 0 && classified != -1) abort();
        if (classified == -1 && error.class_ != ERR_FTP) abort();
        char host[16];
        uint16_t port = 0;
        if (client.reply != nullptr && ftp_parse_pasv(client.reply, host, &port) == 0) {
            in_addr address;
            if (inet_aton(host, &address) == 0) abort();
        }
    }
    // A 421 closes the control connection through the client itself.
    if (client.control >= 0) close(client.control);
    free(client.reply);
    free(client.line);
    return 0;
}
