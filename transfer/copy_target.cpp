// The engine's temporary copy as a session's target, with the copies that
// earlier runs kept in the state directory.
#include "transfer/copy_target.h"

#include "support/kept_copy.h"

bool LocalCopy::find_kept(KeptCopy &kept) {
    return kept_find(context_->state_fd, kept);
}

int LocalCopy::fill_kept(const std::string &key) {
    off_t size = 0;
    Descriptor kept = kept_open(context_->state_fd, key, size);
    if (kept.fd < 0 || copy_.fd() < 0) return -1;
    return copy_.fill_from(kept.fd);
}
