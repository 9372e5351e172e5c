// Installed states, and the second core that takes them ahead of the walk.
// The worker is handed one sweep, not a queue of files: the walk must not
// wait for a file still queued behind others, so each file's state is taken
// by whichever side claims it first, and the walk waits only for one the
// worker is digesting.
#include "engine/installed.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "support/descriptor.h"
#include "support/file_digest.h"
#include "support/path.h"
#include "support/worker.h"

bool expand_localpath(EngineContext *context, FileRecord &file) {
    if (!file.localpath) return false;
    if (file.localpath_expanded) return true;
    if (context == nullptr || context->installer == nullptr ||
        !context->installer->expand_path(*file.localpath))
        return false;
    normalize_path(*file.localpath);
    file.localpath_expanded = true;
    return true;
}

int installed_state(FileRecord &file, const InstalledDigests *recorded) {
    const char *path = file.localpath->c_str();
    Descriptor fd{open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat info;
    if (fd.fd < 0) {
        // One that is there but cannot be read has no digest to match.
        return errno != ENOENT && stat(path, &info) == 0 && info.st_size == file.size ? 0 : -1;
    }
    if (fstat(fd.fd, &info) < 0) return -1;
    if (recorded != nullptr && file.sha256_set && file.sitepath) {
        const Sha256Value *known = recorded->find(*file.sitepath, info);
        if (known != nullptr && *known != file.sha256) {
            file.installed_sha256 = *known;
            return info.st_size == file.size ? 0 : -1;
        }
    }
    if (info.st_size != file.size) return -1;
    return file_digest_fd_matches(file, fd.fd, info.st_size, &file.installed_sha256) ? 1 : 0;
}

namespace {

// Below this a second thread costs about what it saves.
constexpr size_t kAheadFiles = 32;
constexpr int64_t kAheadBytes = int64_t{1} << 20;

}  // namespace

CheckAhead::CheckAhead(EngineContext *context,
                       const std::vector<std::unique_ptr<FileRecord>> &files,
                       const InstalledDigests *recorded)
    : recorded_(recorded),
      entries_(new std::atomic<Entry>[files.size()]),
      answers_(new int[files.size()]()) {
    files_.reserve(files.size());
    int64_t bytes = 0;
    size_t foreseen = 0;
    bool expanding = true;
    for (const auto &owned : files) {
        FileRecord &file = *owned;
        // What the walk compares, with the paths it would expand; it stops
        // at a file it cannot compare, and so does the expansion here.
        if (!file.sitepath || !file.localpath) expanding = false;
        const bool compared = expanding && !file.sitepath->empty() && file.tempfile.empty();
        if (compared && !expand_localpath(context, file)) expanding = false;
        const bool ahead = compared && expanding;
        entries_[files_.size()].store(ahead ? Entry::kPending : Entry::kUnforeseen,
                                      std::memory_order_relaxed);
        files_.push_back(&file);
        if (ahead) {
            bytes += file.size;
            foreseen++;
        }
    }
    // Without a worker the walk takes every state itself.
    if (foreseen >= 2 && (foreseen >= kAheadFiles || bytes >= kAheadBytes)) {
        worker_.emplace(1, [this](size_t &first) { sweep(first); });
        worker_->push(1);
    }
}

CheckAhead::~CheckAhead() {
    stop_ = true;
    worker_.reset();
}

void CheckAhead::take(size_t index) {
    Entry pending = Entry::kPending;
    if (!entries_[index].compare_exchange_strong(pending, Entry::kClaimed)) return;
    answers_[index] = installed_state(*files_[index], recorded_);
    entries_[index].store(Entry::kDone);
    entries_[index].notify_all();
}

int CheckAhead::state(FileRecord &file) {
    // The walk asks in the order of the files, skipping some.
    size_t index = asked_;
    while (index < files_.size() && files_[index] != &file) index++;
    if (index == files_.size() || entries_[index].load() == Entry::kUnforeseen)
        return installed_state(file, recorded_);
    asked_ = index + 1;
    take(index);
    Entry entry;
    while ((entry = entries_[index].load()) != Entry::kDone) entries_[index].wait(entry);
    return answers_[index];
}

// Every other file: the walk takes the ones between, and seldom has to wait
// for one this side is still digesting.
void CheckAhead::sweep(size_t first) {
    for (size_t i = first; i < files_.size() && !stop_; i += 2) take(i);
}
