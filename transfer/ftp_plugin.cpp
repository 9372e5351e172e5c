// The ftp plugin: login data from the information file's URL, one login
// per run kept while the control connection stays idle, a data connection
// per file, and resumption of partial copies with REST.
#include <libgen.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/product.h"
#include "support/data_io.h"
#include "support/path.h"
#include "transfer/ftp.h"
#include "transfer/plugin.h"
#include "transfer/remote_session.h"
#include "transfer/url.h"

namespace {

constexpr std::string_view kFtpScheme = "ftp://";
// The user name when the URL gives none.
constexpr const char *kFtpDefaultUser = "ftp";

int log_in(FtpClient &client) {
    if (client.control >= 0) {
        if (connection_quiet(client.control, client.received)) return 0;
        // Closed by the server, or it said something unasked: start afresh.
        ftp_close_data(client);
        ftp_close_control(client);
    }
    if (ftp_connect(client) < 0 || ftp_user(client) < 0 || ftp_pass(client) < 0 ||
        ftp_type(client) < 0 || ftp_cwd(client) < 0) {
        // A session that stopped halfway through the login must not pass
        // for a logged-in one at the next attempt.
        ftp_close_control(client);
        return -1;
    }
    return 0;
}

int open_data(FtpClient &client) {
    if (client.data >= 0) {
        if (connection_idle(client.data) == 1) return 0;
        ftp_close_data(client);
    }
    return client.active ? ftp_port(client) : ftp_pasv(client);
}

// One attempt at the file: 0 or -1.
int fetch(FtpClient &client, FileRecord &file, CopyTarget &copy) {
    if (copy.open(file, CopyUse::kResume) < 0) return copy.report();
    const uint32_t start = copy.held();
    if (log_in(client) < 0 || open_data(client) < 0) return -1;
    if (start != 0) {
        char offset[24];
        snprintf(offset, sizeof(offset), "%" PRIdMAX, static_cast<intmax_t>(start));
        // A server without restarts sends the whole file: write it from the
        // first byte over the old copy.
        if (ftp_rest(client, offset) < 0) {
            if (client.control < 0 || copy.rewind() < 0) return -1;
            // The meter starts over with the file, as the data do.
            events_of(client.context->io).progress(file_event(&file));
        }
    }
    return ftp_retr(client, *file.sitepath, copy) < 0 ? -1 : 0;
}

class FtpSession : public PluginSession {
   public:
    FtpSession(EngineContext *context, TransferBudget &budget) : client(context, budget) {}
    // The goodbye: QUIT and its reply, within a wait of its own.
    ~FtpSession() override {
        client.budget.spare_goodbye();
        ftp_quit(client);
        // A control connection already gone leaves QUIT unsent and nothing closed.
        ftp_close_data(client);
        ftp_close_control(client);
    }

    bool begin_file(FileRecord &file) override {
        normalize_path(*file.sitepath);
        return true;
    }

    AttemptOutcome attempt(FileRecord &file, CopyTarget &copy) override {
        if (fetch(client, file, copy) == 0) return AttemptOutcome::kDone;
        // A data connection left from a failed attempt belongs to a command
        // the server has given up on.
        ftp_close_data(client);
        // An optional file the server does not have will not appear on a retry.
        const ErrorRecord &error = client.context->io.error;
        if (file.optional && error.class_ == ERR_FTP && error.code == kFtpNoSuchFile)
            return AttemptOutcome::kRefused;
        return AttemptOutcome::kRetry;
    }

    FtpClient client;
};

std::unique_ptr<PluginSession> ftp_open(EngineContext *context, const std::string &mirror,
                                        TransferBudget &budget) {
    if (context == nullptr || context->settings.use_proxy) return nullptr;
    if (!std::string_view(mirror).starts_with(kFtpScheme)) return nullptr;
    const std::optional<Url> parsed = url_connectable(mirror);
    if (!parsed) {
        record_unusable_mirror(context, mirror);
        return nullptr;
    }
    const Url &url = *parsed;
    auto session = std::make_unique<FtpSession>(context, budget);
    FtpClient &client = session->client;
    client.port = url.port;
    client.host = url.host.value_or("");
    client.user = url.user.value_or(kFtpDefaultUser);
    client.password = url.password.value_or(QAVO_ANONYMOUS_PASSWORD);
    // dirname may write into its argument and return static storage.
    std::string path = url.path.c_str();
    client.directory = dirname(path.data());
    // The option reads "passive(off)/active(on)": on selects PORT.
    client.active = context->settings.ftp_active;
    // The session was only checked here: the network side makes its own.
    if (context->fetcher != nullptr)
        return remote_session_open(context, kPluginFtp, mirror, budget);
    return session;
}

}  // namespace

const Plugin ftp_plugin{"ftp", ZeroTries::kFirstOnly, ftp_open};
