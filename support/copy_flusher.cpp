#include "support/copy_flusher.h"

#include <fcntl.h>

void CopyFlusher::flush(int descriptor, bool *durable) {
    if (failed_ || descriptor < 0) return;
    if (!worker_) {
        worker_.emplace(kWaiting, [this](Handed &handed) {
            if (sync_(handed.copy.fd) == 0 && handed.durable != nullptr) *handed.durable = true;
        });
        failed_ = !worker_->running();
        if (failed_) return;
    }
    Descriptor duplicate{fcntl(descriptor, F_DUPFD_CLOEXEC, 0)};
    if (duplicate.fd >= 0) worker_->try_push(Handed{std::move(duplicate), durable});
}
