#include "support/copy_flusher.h"

#include <fcntl.h>

void CopyFlusher::flush(int descriptor) {
    if (failed_ || descriptor < 0) return;
    if (!worker_) {
        worker_.emplace(kWaiting, [this](Descriptor &copy) { (void)sync_(copy.fd); });
        failed_ = !worker_->running();
        if (failed_) return;
    }
    Descriptor duplicate{fcntl(descriptor, F_DUPFD_CLOEXEC, 0)};
    if (duplicate.fd >= 0) worker_->try_push(std::move(duplicate));
}
