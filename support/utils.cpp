// Data waits, readers and writers, the copy loop, the line reader, the
// install-program runner and the path normaliser.
#include "support/utils.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/notify.h"
#include "support/list.h"

int wait_for_data(EngineContext *context, int descriptor) {
    if (context == nullptr) return -1;
    int32_t count = wait_slice_count(context->timeout);
    for (int32_t index = 0; index < count;) {
        timeval slice{0, kWaitSliceMicroseconds};
        int ready = wait_readable(descriptor, &slice);
        if (ready < 0) return record_error(context, ERR_NET_SYSCALL, "select");
        if (ready > 0) {
            notify(context, UI_DATA_READY);
            return 1;
        }
        notify_counts(context, UI_SPIN_WAIT, index, count);
        if (context->timeout > 0) index++;
    }
    notify(context, UI_TIMEOUT);
    return 0;
}

int socket_read(EngineContext *context, int descriptor, void *buffer, int length) {
    if (buffer == nullptr || length < 0) return -1;
    if (wait_for_data(context, descriptor) != 1) return -1;
    ssize_t count;
    do {
        count = recv(descriptor, buffer, static_cast<size_t>(length), 0);
    } while (count < 0 && errno == EINTR);
    if (count < 0) return record_error(context, ERR_NET_SYSCALL, "recv");
    return static_cast<int>(count);
}

int file_read(EngineContext *context, int descriptor, void *buffer, int length) {
    if (buffer == nullptr || length < 0) return -1;
    ssize_t count;
    do {
        count = read(descriptor, buffer, static_cast<size_t>(length));
    } while (count < 0 && errno == EINTR);
    if (count < 0) return record_error(context, ERR_FILE_SYSCALL, "read");
    return static_cast<int>(count);
}

int file_write(EngineContext *context, int descriptor, const void *buffer, int length) {
    if (buffer == nullptr || length < 0) return -1;
    const char *bytes = static_cast<const char *>(buffer);
    int written = 0;
    while (written < length) {
        ssize_t count = write(descriptor, bytes + written, static_cast<size_t>(length - written));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            // write never returns 0 for a non-empty buffer; should it, a
            // loop here would never end.
            if (count == 0) errno = EIO;
            record_error(context, ERR_FILE_SYSCALL, "write");
            return written > 0 ? written : -1;
        }
        written += static_cast<int>(count);
    }
    return length;
}

int transfer_data(EngineContext *context, int from, int to, uint32_t *remaining, uint32_t offset,
                  Reader reader, Writer writer) {
    if (from == to) return 0;
    if (remaining == nullptr || reader == nullptr || writer == nullptr) return -1;
    char chunk[kTransferChunk];
    uint32_t total = 0;
    int result = 0;
    for (;;) {
        int wanted = kTransferChunk;
        if (*remaining != kTransferAll && *remaining < static_cast<uint32_t>(wanted))
            wanted = static_cast<int>(*remaining);
        int count = reader(context, from, chunk, wanted);
        if (count < 0) {
            result = -1;
            break;
        }
        // A reader must not claim more than it was asked for.
        if (count > wanted) count = wanted;
        total += static_cast<uint32_t>(count);
        if (*remaining != kTransferAll) *remaining -= static_cast<uint32_t>(count);
        if (count == 0) break;
        if (notify_progress_bytes(context, static_cast<int>(total + offset)) < 0) {
            result = -1;
            break;
        }
        if (writer(context, to, chunk, count) != count) {
            result = -1;
            break;
        }
        if (*remaining == 0) break;
    }
    *remaining = total;
    return result;
}

namespace {

int refuse_oversize(EngineContext *context) {
    errno = EFBIG;
    record_error(context, ERR_FILE_SYSCALL, "write");
    return kTransferTooLarge;
}

}  // namespace

int transfer_bounded(EngineContext *context, int from, int to, uint32_t *remaining, uint32_t offset,
                     uint32_t limit, Reader reader, Writer writer) {
    if (remaining == nullptr || reader == nullptr || writer == nullptr) return -1;
    if (limit == 0) limit = kUnlistedSizeLimit;
    const uint32_t room = offset < limit ? limit - offset : 0;
    if (*remaining != kTransferAll) {
        if (*remaining <= room)
            return transfer_data(context, from, to, remaining, offset, reader, writer);
        *remaining = 0;
        return refuse_oversize(context);
    }
    uint32_t moved = room;
    if (room != 0) {
        int result = transfer_data(context, from, to, &moved, offset, reader, writer);
        if (result < 0 || moved < room) {
            *remaining = moved;
            return result;
        }
    }
    *remaining = room;
    // The room is used up: an honest sender has nothing more to say.
    char probe;
    int count = reader(context, from, &probe, 1);
    if (count < 0) return -1;
    return count == 0 ? 0 : refuse_oversize(context);
}

int read_line(EngineContext *context, TransferBudget *budget, Connection *connection, char **buffer,
              size_t *size) {
    if (context == nullptr || budget == nullptr || connection == nullptr || buffer == nullptr ||
        size == nullptr || *connection < 0)
        return -1;
    if (*size == 0 || *buffer == nullptr) {
        char *fresh = static_cast<char *>(realloc(*buffer, kLineBufferStart));
        if (fresh == nullptr) {
            *size = 0;
            return -1;
        }
        *buffer = fresh;
        *size = kLineBufferStart;
    }
    (*buffer)[0] = '\0';
    for (size_t position = 0;; position++) {
        if (position + 1 == *size) {
            char *grown = nullptr;
            if (*size * 2 <= kLineBufferLimit)
                grown = static_cast<char *>(realloc(*buffer, *size * 2));
            if (grown == nullptr) {
                free(*buffer);
                *buffer = nullptr;
                *size = 0;
                return -1;
            }
            *buffer = grown;
            *size *= 2;
        }
        // The budget is shared by all lines of a reply, so it bounds the
        // time-outs of the whole reply, not of each line.
        while (budget_may_wait(*budget)) {
            int ready = wait_for_data(context, *connection);
            if (ready == 1) break;
            budget_spend(budget);
            // A failed wait was reported already; a blocking recv after it
            // could hang past every time-out.
            if (ready < 0) return -1;
        }
        if (!budget_may_wait(*budget)) return -1;
        char *at = *buffer + position;
        ssize_t count;
        do {
            count = recv(*connection, at, 1, 0);
        } while (count < 0 && errno == EINTR);
        if (count < 0) {
            record_error(context, ERR_NET_SYSCALL, "recv");
            connection_close(context, connection, 1);
            return -1;
        }
        if (count == 0) {
            connection_close(context, connection, 1);
            *at = '\0';
        }
        if (*at == '\n') {
            at[1] = '\0';
            return 0;
        }
        if (*at == '\0') return -1;
    }
}

int run_program(EngineContext *context, const char *path, int *status) {
    if (status != nullptr) *status = 0;
    if (path == nullptr) return -1;
    struct stat info;
    if (stat(path, &info) < 0) return record_error(context, ERR_FILE_SYSCALL, "stat");
    // Install programs may arrive without the execute bit; a failure here
    // shows up as the child's exit status 127.
    (void)chmod(path, (info.st_mode & 07777) | S_IXUSR);
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        char *arguments[] = {const_cast<char *>(path), nullptr};
        execv(path, arguments);
        // _exit: the parent's stdio buffers must not be flushed twice.
        _exit(kExecFailedStatus);
    }
    int raw;
    pid_t waited;
    do {
        waited = waitpid(child, &raw, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0 || !WIFEXITED(raw)) return -1;
    int code = WEXITSTATUS(raw);
    notify_exec(context, code);
    if (code == 0) return 0;
    if (status != nullptr) *status = raw;
    return -1;
}

namespace {

// Components that do not point into the path being normalised; they are
// only read.
char kRootComponent[] = "/";
char kDotComponent[] = ".";

void append_component(List *list, char *text) {
    // A node that cannot be had loses its component; the path stays valid.
    ListNode *node = list_node_new(text);
    if (node != nullptr) list_append(list, node);
}

}  // namespace

int normalize_path(char *path) {
    if (path == nullptr) return -1;
    List *components = list_new();
    if (components == nullptr) return -1;  // the path is left as it was
    bool double_slash = path[0] == '/' && path[1] == '/';
    if (path[0] == '/') append_component(components, kRootComponent);
    char *state = nullptr;
    for (char *text = strtok_r(path, "/", &state); text != nullptr;
         text = strtok_r(nullptr, "/", &state)) {
        ListNode *last = list_last(components);
        if (strcmp(text, ".") == 0) {
            if (last == nullptr) append_component(components, text);
        } else if (strcmp(text, "..") == 0) {
            const char *previous = last != nullptr ? static_cast<char *>(last->data) : nullptr;
            if (previous == nullptr || strcmp(previous, "..") == 0 || strcmp(previous, "/") == 0) {
                append_component(components, text);
            } else {
                list_remove(components, last, nullptr);
                if (list_is_empty(components)) append_component(components, kDotComponent);
            }
        } else {
            append_component(components, text);
        }
    }
    // Components only move towards the start, so copying them in order
    // never overwrites one not yet copied.
    if (list_first(components) != nullptr) {
        char *out = path + (double_slash ? 1 : 0);
        for (ListNode *node = list_first(components); node != nullptr; node = node->next) {
            const char *text = static_cast<char *>(node->data);
            size_t length = strlen(text);
            memmove(out, text, length);
            out += length;
            if (node->next != nullptr && out[-1] != '/') *out++ = '/';
        }
        *out = '\0';
    }
    list_free(components, nullptr);
    return 0;
}
