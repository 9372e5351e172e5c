// Running an install program and reporting its exit status.
#include "support/program.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "core/error.h"
#include "core/io.h"

int run_program(Io &io, const char *path, int *status) {
    if (status != nullptr) *status = 0;
    if (path == nullptr) return -1;
    struct stat info;
    if (stat(path, &info) < 0) return record_error(io, ERR_FILE_SYSCALL, "stat");
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
    events_of(io).exec(code);
    if (code == 0) return 0;
    if (status != nullptr) *status = raw;
    return -1;
}
