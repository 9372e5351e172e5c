// Fuzzes the FTP reply reader, the classifier and the PASV and EPSV reply parsers with server
// output arriving on a socket pair, in one block or in pieces picked by the last byte: every reply
// it accepts ends in a last line "NNN ", the parsed PASV address is a dotted address and an EPSV
// port is never 0.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>

#include "fuzz/feed.h"
#include "transfer/ftp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int feed = feed_socket(data, size, size > 0 ? data[size - 1] % 64 : 0);
    if (feed < 0) return 0;
    EngineContext context = fuzz_context();
    TransferBudget budget = budget_start(context.settings.tries);
    FtpClient client(&context, budget);
    client.control = feed;
    while (client.control >= 0) {
        int code = ftp_read_reply(client);
        if (code < 0) break;
        if (client.reply.size() >= kFtpReplyLimit) abort();
        // A last line whose number reads as 0 never ends a reply.
        if (code == 0) abort();
        int classified = ftp_handle_reply(client, code);
        if (classified != 0 && classified != -1) abort();
        if (classified == -1 && context.io.error.class_ != ERR_FTP) abort();
        char host[16];
        uint16_t port = 0;
        if (ftp_parse_pasv(client.reply.c_str(), host, &port) == PassiveReply::kAddress) {
            in_addr address;
            if (inet_aton(host, &address) == 0) abort();
        }
        if (ftp_parse_epsv(client.reply.c_str(), &port) == 0 && port == 0) abort();
    }
    // The client closes what a 421 left open.
    return 0;
}
