// Run control: the update lock that keeps a second run out, the watchdog,
// and the engine context built from the configuration.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/console.h"
#include "frontend/install.h"
#include "frontend/runctl.h"
#include "support/vector.h"
#include "transfer/url.h"

namespace {

int lock_fd = -1;

struct flock whole_file(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, whatever the size
    return lock;
}

}  // namespace

int lock_update(const char *path, int *holder_pid) {
    *holder_pid = -1;
    // Never through a link: anyone may plant one in a shared directory.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0660);
    if (fd < 0) {
        printf("Can't open %s (%s)\n", path, strerror(errno));
        exit(-1);
    }
    lock_fd = fd;
    struct flock lock = whole_file(F_WRLCK);
    if (fcntl(fd, F_SETLK, &lock) == 0) {
        *holder_pid = getpid();
        atexit(unlock_update);
        return 0;
    }
    struct flock holder = whole_file(F_WRLCK);
    if (fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK) *holder_pid = holder.l_pid;
    return -1;
}

void unlock_update() {
    if (lock_fd < 0) return;
    struct flock lock = whole_file(F_UNLCK);
    fcntl(lock_fd, F_SETLK, &lock);
    close(lock_fd);
    lock_fd = -1;
}

// Runs asynchronously: prints and aborts, touching no program state. The
// stream is flushed so the message follows everything printed before it.
void alarm_handler(int) {
    fputs(
        "Update process is too old. It seems to be a bug/infinite loop somewhere.\n"
        "Please send the core file to " QAVO_SUPPORT_ADDRESS "\n",
        stdout);
    fflush(stdout);
    abort();
}

namespace {

const char *string_of(ConfigOption *option) {
    return option != nullptr && option->type == CONFIG_STRING && option->value.string != nullptr
               ? option->value.string
               : "";
}

int32_t number_of(ConfigOption *option) {
    return option != nullptr && option->type != CONFIG_STRING ? option->value.number : 0;
}

}  // namespace

char *compose_info_url(const char *scheme, const char *user, const char *password, const char *host,
                       int32_t port, const char *infofile) {
    // Escaped, so that a ':' or '@' in either cannot be taken for a separator.
    char *escaped_user = url_escape(user);
    char *escaped_password = url_escape(password);
    char *url = nullptr;
    if (escaped_user != nullptr && escaped_password != nullptr &&
        asprintf(&url, "%s://%s:%s@%s:%d/%s", scheme, escaped_user, escaped_password, host, port,
                 infofile) < 0)
        url = nullptr;
    free(escaped_user);
    free(escaped_password);
    return url;
}

int fill_engine_context(RunState *state, EngineContext *context) {
    Config *config = state->config;
    *context = EngineContext{};
    ConfigOption *protocol = config_find_option(config, "hosts", "protocol");
    const char *scheme = string_of(protocol);
    ConfigOption *username = config_find_option(config, scheme, "username");
    ConfigOption *password = config_find_option(config, scheme, "password");
    ConfigOption *port = config_find_option(config, scheme, "port");
    // A section without the three login options (global, hosts, modules) is
    // no protocol either.
    if (config_find_section(config, scheme) == nullptr || username == nullptr ||
        password == nullptr || port == nullptr) {
        printf("Fatal Error:");
        if (protocol != nullptr && protocol->line != 0)
            printf("Line %d:", protocol->line);
        else
            printf("Command line:");
        printf("Unkown protocol '%s'\n", scheme);
        return -1;
    }

    context->info_url =
        compose_info_url(scheme, string_of(username), string_of(password),
                         string_of(config_find_option(config, "hosts", "host")), number_of(port),
                         string_of(config_find_option(config, "hosts", "infofile")));
    context->temp_dir = strdup(string_of(config_find_option(config, "global", "temppath")));
    context->modules = vector_new();
    if (context->info_url == nullptr || context->temp_dir == nullptr ||
        context->modules == nullptr) {
        release_engine_context(context);
        return -2;
    }
    context->use_proxy = number_of(config_find_option(config, "global", "use-proxy"));
    if (context->use_proxy == 1) {
        context->proxy_or_passive =
            const_cast<char *>(string_of(config_find_option(config, "global", "proxy")));
    } else if (ConfigOption *passive = config_find_option(config, "ftp", "passive")) {
        context->proxy_or_passive = &passive->value.number;
    }
    context->timeout = number_of(config_find_option(config, "global", "timeout"));
    context->tries = number_of(config_find_option(config, "global", "tries"));
    if (ConfigSection *modules = config_find_section(config, "modules")) {
        for (int32_t i = 0; i < modules->count; i++) {
            ConfigOption *module = modules->options[i];
            if (module->value.number != 0 && vector_add(context->modules, module->name) != 0) {
                release_engine_context(context);
                return -2;
            }
        }
    }
    context->run_state = state;
    context->ui_event = ui_event;
    context->expand_path = expand_path;
    context->install_file = install_file;
    return 0;
}

void release_engine_context(EngineContext *context) {
    if (context->modules != nullptr) vector_free(context->modules, 0);
    free(context->info_url);
    free(context->temp_dir);
    *context = EngineContext{};
}
