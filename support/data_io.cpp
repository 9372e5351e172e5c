// Data waits sliced for the spinner, and the readers and writers a
// temporary copy moves data with.
#include "support/data_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/error.h"
#include "support/connect.h"

WaitEnd wait_for_data(Io &io, int descriptor, WaitFor what) {
    const WaitEnd end = wait_sliced(io, descriptor, what);
    if (end == WaitEnd::kReady) events_of(io).data_ready();
    if (end == WaitEnd::kExpired) events_of(io).timeout();
    return end;
}

namespace {

// -1 with recv's errno in `error`.
ssize_t receive(int descriptor, char *buffer, int length, int flags, int &error) {
    ssize_t count;
    do {
        count = recv(descriptor, buffer, static_cast<size_t>(length), flags);
    } while (count < 0 && errno == EINTR);
    if (count < 0) error = errno;
    return count;
}

}  // namespace

Receipt socket_receive(Io &io, int descriptor, char *buffer, int length) {
    if (buffer == nullptr || length < 0) return {ReceiveEnd::kFailed};
    // Only a read that would block waits (and one on no descriptor at all,
    // which the wait reports); any other outcome raises the event of a wait
    // that found the data, the end or the failure at once.
    int error = 0;
    ssize_t count = receive(descriptor, buffer, length, MSG_DONTWAIT, error);
    if (count < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EBADF)) {
        const WaitEnd ready = wait_for_data(io, descriptor);
        if (ready != WaitEnd::kReady)
            return {ready == WaitEnd::kExpired ? ReceiveEnd::kExpired : ReceiveEnd::kWaitFailed};
        count = receive(descriptor, buffer, length, 0, error);
    } else {
        events_of(io).data_ready();
    }
    if (count < 0) {
        record_error_code(io, ERR_NET_SYSCALL, error, "recv");
        return {ReceiveEnd::kFailed};
    }
    return receipt_of(static_cast<int>(count));
}

int socket_read(Io &io, int descriptor, char *buffer, int length) {
    return receipt_count(socket_receive(io, descriptor, buffer, length));
}

int file_read(Io &io, int descriptor, char *buffer, int length) {
    if (buffer == nullptr || length < 0) return -1;
    ssize_t count;
    do {
        count = read(descriptor, buffer, static_cast<size_t>(length));
    } while (count < 0 && errno == EINTR);
    if (count < 0) return record_error(io, ERR_FILE_SYSCALL, "read");
    return static_cast<int>(count);
}

int file_write(Io &io, int descriptor, const char *buffer, int length) {
    if (buffer == nullptr || length < 0) return -1;
    const char *bytes = buffer;
    int written = 0;
    while (written < length) {
        ssize_t count = write(descriptor, bytes + written, static_cast<size_t>(length - written));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            // write never returns 0 for a non-empty buffer; should it, a
            // loop here would never end.
            record_error_code(io, ERR_FILE_SYSCALL, count == 0 ? EIO : errno, "write");
            return written > 0 ? written : -1;
        }
        written += static_cast<int>(count);
    }
    return length;
}
