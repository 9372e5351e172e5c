// The file plugin: serves file:// URLs by copying from the mirror directory
// into the temporary copy, resuming from the copy's real size on disk.
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "core/error.h"
#include "support/data_io.h"
#include "support/descriptor.h"
#include "support/path.h"
#include "transfer/plugin.h"

namespace {

constexpr std::string_view kFileScheme = "file://";

class FileSource : public PluginSession {
   public:
    FileSource(EngineContext *context, std::string base)
        : context_(context), base_(std::move(base)) {}

    // The first file of the run raises the connecting event, once.
    bool begin_file(FileRecord &file) override {
        if (!announced_) {
            announced_ = true;
            events_of(context_->io).connecting(Peers{"localhost", 0, "localhost", 0});
        }
        from_ = base_ + "/" + *file.sitepath;
        normalize_path(from_);
        return true;
    }

    AttemptOutcome attempt(FileRecord &file, CopyTarget &copy) override {
        if (copy_from_mirror(file, copy) != 0) return AttemptOutcome::kRetry;
        events_of(context_->io).transfer_done();
        return AttemptOutcome::kDone;
    }

   private:
    // The copy is continued from its size on disk rather than from
    // `received`, since an earlier attempt of this run may have added to it.
    int copy_from_mirror(FileRecord &file, CopyTarget &copy) {
        if (copy.open(file, CopyUse::kResume) < 0) return copy.report();
        const off_t start = copy.held();
        struct stat info;
        if (stat(from_.c_str(), &info) < 0)
            return record_error(context_->io, ERR_FILE_SYSCALL, "stat");
        // A copy longer than the source cannot be a prefix of it; the engine
        // empties it between runs.
        if (start > info.st_size) return -1;
        Descriptor origin{::open(from_.c_str(), O_RDONLY | O_CLOEXEC)};
        if (origin.fd < 0) return record_error(context_->io, ERR_FILE_SYSCALL, "open");
        if (start != 0 && lseek(origin.fd, start, SEEK_SET) < 0)
            return record_error(context_->io, ERR_FILE_SYSCALL, "lseek");
        // Counted from the size the source has now: it may grow while we read.
        // A source beyond what a count can hold is simply too large.
        const auto available = static_cast<uint64_t>(info.st_size - start);
        uint32_t remaining =
            available < kTransferAll ? static_cast<uint32_t>(available) : kTransferAll - 1;
        return copy.receive(origin.fd, remaining, file_read) == CopyOutcome::kReceived ? 0 : -1;
    }

    EngineContext *context_;  // not owned
    std::string base_;        // directory of the information file's path
    std::string from_;        // the mirror file of the current file
    bool announced_ = false;
};

std::unique_ptr<PluginSession> file_open(EngineContext *context, const std::string &mirror,
                                         TransferBudget &) {
    if (context == nullptr) return nullptr;
    std::string_view url = mirror;
    if (!url.starts_with(kFileScheme)) return nullptr;
    // dirname may write into its argument and may return static storage.
    std::string path(url.substr(kFileScheme.size()));
    path = path.c_str();
    return std::make_unique<FileSource>(context, dirname(path.data()));
}

}  // namespace

const Plugin file_plugin{"file", ZeroTries::kWithoutLimit, file_open};
