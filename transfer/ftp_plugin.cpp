// The ftp plugin: login data from the information file's URL, one login
// per run kept while the control connection stays idle, a data connection
// per file, and resumption of partial copies with REST.
#include "transfer/ftp_plugin.h"

#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/error.h"
#include "core/notify.h"
#include "core/product.h"
#include "core/records.h"
#include "support/copy_loop.h"
#include "support/data_io.h"
#include "support/path.h"
#include "support/temp_copy.h"
#include "transfer/ftp.h"
#include "transfer/plugin.h"
#include "transfer/url.h"

namespace {

constexpr std::string_view kFtpScheme = "ftp://";

char *copy_or(const char *text, const char *fallback) {
    return strdup(text != nullptr ? text : fallback);
}

// dirname may write into its argument and return static storage, so it
// works on a scratch copy and its answer is copied again.
char *directory_of(const char *path) {
    char *scratch = strdup(path);
    if (scratch == nullptr) return nullptr;
    char *directory = strdup(dirname(scratch));
    free(scratch);
    return directory;
}

int release_client(FtpClient *client) {
    free(client->host);
    free(client->user);
    free(client->password);
    free(client->directory);
    free(client->reply);
    free(client->line);
    free(client);
    return 0;
}

void *ftp_open(EngineContext *context) {
    if (context == nullptr || context->ui_event == nullptr || context->info_url == nullptr ||
        context->use_proxy != 0)
        return nullptr;
    if (!std::string_view(context->info_url).starts_with(kFtpScheme)) return nullptr;
    Url *url = url_new();
    if (url == nullptr) return nullptr;
    if (url_parse(context->info_url, url) < 0) {
        url_free(url);
        return nullptr;
    }
    auto *client = static_cast<FtpClient *>(calloc(1, sizeof(FtpClient)));
    if (client == nullptr) {
        url_free(url);
        return nullptr;
    }
    client->control = -1;
    client->data = -1;
    client->port = url->port;
    client->host = copy_or(url->host, "");
    client->user = copy_or(url->user, kFtpDefaultUser);
    client->password = copy_or(url->password, QAVO_ANONYMOUS_PASSWORD);
    client->directory = directory_of(url->path != nullptr ? url->path : "/");
    const auto *passive = static_cast<const int32_t *>(context->proxy_or_passive);
    // The option reads "passive(off)/active(on)": on selects PORT.
    client->active = passive != nullptr && *passive != 0 ? 1 : 0;
    client->context = context;
    url_free(url);
    if (client->host == nullptr || client->user == nullptr || client->password == nullptr ||
        client->directory == nullptr) {
        release_client(client);
        return nullptr;
    }
    return client;
}

int ftp_plugin_close(void *handle) {
    auto *client = static_cast<FtpClient *>(handle);
    if (client == nullptr) return -1;
    budget_spare_goodbye(&client->budget);
    ftp_quit(client);
    // A control connection already gone leaves QUIT unsent and nothing closed.
    ftp_close_data(client);
    ftp_close_control(client);
    return release_client(client);
}

int log_in(FtpClient *client) {
    if (client->control >= 0) {
        if (connection_quiet(client->control, client->received)) return 0;
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

int open_data(FtpClient *client) {
    if (client->data >= 0) {
        if (connection_idle(client->data) == 1) return 0;
        ftp_close_data(client);
    }
    return client->active == 1 ? ftp_port(client) : ftp_pasv(client);
}

// One attempt at the file: 0 or -1.
int fetch(FtpClient *client, FileRecord *file, TempCopy *copy) {
    if (copy_open(client->context, file, CopyUse::kResume, copy) < 0)
        return copy_report(client->context, copy);
    const uint32_t start = copy->held;
    if (log_in(client) < 0 || open_data(client) < 0) return -1;
    if (start != 0) {
        char offset[24];
        snprintf(offset, sizeof(offset), "%" PRIdMAX, static_cast<intmax_t>(start));
        // A server without restarts sends the whole file: write it from the
        // first byte over the old copy.
        if (ftp_rest(client, offset) < 0) {
            if (client->control < 0 || copy_rewind(copy) < 0) return -1;
            // The meter starts over with the file, as the data do.
            if (notify_file(client->context, UI_PROGRESS, file) < 0) return -1;
        }
    }
    return ftp_retr(client, file->sitepath, ftp_receive_file, copy) < 0 ? -1 : 0;
}

int ftp_get(FileRecord *file, void *handle, TempCopy *copy) {
    auto *client = static_cast<FtpClient *>(handle);
    if (file == nullptr || file->sitepath == nullptr || file->tempfile == nullptr ||
        client == nullptr)
        return -1;
    EngineContext *context = client->context;
    normalize_path(file->sitepath);
    client->budget = budget_start(context);
    int answer = notify_file(context, UI_PROGRESS, file);
    if (answer < 0) return answer;
    for (;;) {
        if (client->budget.used != 0) {
            answer =
                notify_counts(context, UI_RETRY, client->budget.used, budget_limit(client->budget));
            if (answer < 0) return answer;
        }
        int result = fetch(client, file, copy);
        budget_spend(&client->budget);
        if (result == 0) return 0;
        // A data connection left from a failed attempt belongs to a command
        // the server has given up on.
        ftp_close_data(client);
        if (!budget_ftp_may_retry(client->budget)) return -1;
    }
}

}  // namespace

int ftp_receive_file(FtpClient *client, TempCopy *copy) {
    if (client == nullptr || copy == nullptr) return -1;
    uint32_t remaining = kTransferAll;
    return copy_receive(client->context, copy, client->data, &remaining, socket_read);
}

const Plugin ftp_plugin{"ftp", ftp_open, ftp_plugin_close, ftp_get};
