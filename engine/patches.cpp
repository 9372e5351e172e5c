// Patches against installed files: the index asked for quietly, the choice
// of each download's patch by the installed version's SHA-256, and the
// patch fetched, decoded into the download's copy and verified as a
// download is. Failures of a patch are kept from the console but for one
// line with -v; the whole file then follows the usual rules.
#include "engine/patches.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/error.h"
#include "core/events.h"
#include "engine/manifest_check.h"
#include "support/crypto.h"
#include "support/descriptor.h"
#include "support/patch_codec.h"
#include "support/temp_copy.h"
#include "support/worker.h"

namespace {

// A file whose installed or new version is larger than this is fetched
// whole: decoding a patch holds both in memory.
constexpr int64_t kPatchSizeLimit = int64_t{256} << 20;

// The version of an installed file that a patch was chosen for; a file
// that changed since is not decoded against.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    explicit Identity(const struct stat &info)
        : device(info.st_dev),
          inode(info.st_ino),
          size(info.st_size),
          modified(info.st_mtim),
          changed(info.st_ctim) {}
    bool operator==(const Identity &other) const {
        const auto same = [](const timespec &a, const timespec &b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        return device == other.device && inode == other.inode && size == other.size &&
               same(modified, other.modified) && same(changed, other.changed);
    }
};

// The installed file, when it is a regular file a patch may start from.
Descriptor open_base(const std::string &path, struct stat &info) {
    Descriptor fd{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (fd.fd >= 0 &&
        (fstat(fd.fd, &info) < 0 || !S_ISREG(info.st_mode) || info.st_size > kPatchSizeLimit))
        fd.reset();
    return fd;
}

// What the layers below said about a failure, as a short reason.
std::string summary(const ErrorRecord &record) {
    if (!record.text.empty()) return record.text;
    const std::string code = std::to_string(record.code);
    switch (record.class_) {
        case ERR_HTTP:
            return "HTTP reply " + code;
        case ERR_FTP:
            return "FTP error " + code;
        case ERR_FILE_SYSCALL:
        case ERR_NET_SYSCALL:
            return std::string(record.call != nullptr ? record.call : "call") + ": " +
                   strerror(record.code);
        default:
            return "error " + std::to_string(record.class_) + "/" + code;
    }
}

// While a patch is under way, failures are not the run's: they are kept
// for the line that says why the patch was not used, and the run's error
// record is put back as it was.
class ErrorsAside : public ForwardEvents {
   public:
    explicit ErrorsAside(Io &io) : ForwardEvents(events_of(io)), hush_(io, this) {}

    void error(const ErrorRecord &record) override { last_ = summary(record); }
    const std::string &last() const { return last_; }

   private:
    Hush hush_;  // puts the listener and the run's error record back
    std::string last_;
};

// Says why the index is not used, as an error line that does not fail the
// run; null.
std::unique_ptr<DeltaIndex> refuse_index(EngineContext *context, const std::string &why) {
    const ErrorRecord kept = context->io.error;
    record_error_text(context->io, ERR_MANIFEST, why + ": fetching whole files", "patch index");
    context->io.error = kept;
    return nullptr;
}

// The mirror's patch index, when it has one for this publication. Asked
// for without a word on the console: a mirror without patches shows
// exactly what it showed before there were any.
std::unique_ptr<DeltaIndex> fetch_index(EngineLink &link, const Manifest &manifest) {
    EngineContext *context = link.context;
    FileRecord copy;
    copy.sitepath = engine_catalogue_name(link.url()) + ".delta";
    copy.size_bound = kDeltaIndexSizeLimit;
    copy.optional = true;
    std::string text;
    bool read = false;
    {
        Hush hush(context->io);
        const CopyCheck take = [&](TempCopy &) {
            read = engine_read_copy(context, copy, kDeltaIndexSizeLimit, text);
            return read;
        };
        if (engine_prepare_tempfile(context, copy) >= 0) (void)engine_get_patch(copy, link, take);
    }
    if (!copy.tempfile.empty()) unlink(copy.tempfile.c_str());
    if (!read) return nullptr;
    auto index = std::make_unique<DeltaIndex>();
    const std::string name = "patch index " + *copy.sitepath;
    const std::string malformed = delta_index_parse(text, *index);
    if (!malformed.empty()) return refuse_index(context, name + " malformed (" + malformed + ")");
    const Ed25519PublicKey *key = manifest_signing_key(index->keyid);
    if (key == nullptr)
        return refuse_index(context, name + " signed by an untrusted key " +
                                         manifest_hex(index->keyid.data(), index->keyid.size()));
    if (!ed25519_verify(*key, std::string_view(text).substr(0, index->signed_length),
                        index->signature))
        return refuse_index(context, name + " has a bad signature");
    // Another publication's patches lead to other versions than the manifest's.
    if (index->serial != manifest.serial) return nullptr;
    return index;
}

// An installed version that a patch may start from: which one, and its digest.
struct Installed {
    std::optional<Identity> identity;  // absent: none to start from
    Sha256Value digest{};

    // The check's digest serves when it took one (or found the file in the
    // record of what was installed): a file changed since would fail the
    // rebuilt copy's digest, and the whole file would follow.
    void take(const FileRecord &file) {
        struct stat info;
        const Descriptor fd = open_base(*file.localpath, info);
        if (fd.fd < 0) return;
        if (file.installed_sha256)
            digest = *file.installed_sha256;
        else if (!sha256_fd(fd.fd, info.st_size, digest))
            return;
        identity.emplace(info);
    }
};

// Whether a download may come as a patch: its manifest names the version
// wanted, and an installed version is there to start from.
bool patchable(const FileRecord &file) {
    return file.sha256_set && file.sitepath && !file.sitepath->empty() && file.localpath &&
           file.localpath_expanded && file.size > 0 && file.size <= kPatchSizeLimit;
}

}  // namespace

// Maps the installed version a patch is decoded against, one at a time.
// Mapped rather than read: the decoder reads the page cache's own pages,
// and no copy of the file is made first. The next version is mapped on a
// thread of its own while the last copy's digest is finished and the next
// patch is fetched: letting go of 16 MiB and mapping the next 16 MiB
// would otherwise hold up the one core that writes the copies.
class PatchPlan::Base {
   public:
    ~Base() {
        settle();
        release();
    }

    // Lets go of what is mapped and maps the installed version `chosen` at
    // `path` in the background. Without a thread, only the letting go.
    void prepare(const std::string &path, const Identity &chosen) {
        settle();
        preparing_.emplace(1, [this](Job &job) {
            release();
            (void)map_now(job.path, *job.chosen);
        });
        if (!preparing_->push(Job{path, chosen})) {
            preparing_.reset();
            release();
        }
    }

    // Lets go of what is mapped.
    void let_go() {
        settle();
        release();
    }

    // The whole installed version, which must still be the one chosen: its
    // bytes, or null. What was mapped before is let go unless it is that.
    const char *map(const std::string &path, const Identity &chosen) {
        settle();
        if (bytes_ != nullptr && path == path_) {
            // Mapped ahead: the file must not have changed since.
            struct stat info;
            if (stat(path.c_str(), &info) == 0 && Identity(info) == chosen)
                return static_cast<const char *>(bytes_);
        }
        release();
        return map_now(path, chosen);
    }

   private:
    void release() {
        if (bytes_ != nullptr) munmap(bytes_, size_);
        bytes_ = nullptr;
        path_.clear();
    }

    struct Job {
        std::string path;
        std::optional<Identity> chosen;
    };

    // Waits for the mapping under way.
    void settle() { preparing_.reset(); }

    const char *map_now(const std::string &path, const Identity &chosen) {
        struct stat info;
        const Descriptor fd = open_base(path, info);
        if (fd.fd < 0 || !(Identity(info) == chosen)) return nullptr;
        // Never null for an empty file either.
        if (info.st_size == 0) return "";
        const size_t size = static_cast<size_t>(info.st_size);
        // Populated at once: one call instead of a fault every few pages.
        void *bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.fd, 0);
        if (bytes == MAP_FAILED) return nullptr;
        bytes_ = bytes;
        size_ = size;
        path_ = path;
        return static_cast<const char *>(bytes);
    }

    void *bytes_ = nullptr;
    size_t size_ = 0;
    std::string path_;  // the installed file mapped
    std::optional<Worker<Job>> preparing_;
};

struct PatchPlan::Planned {
    FileRecord record;  // the patch as it is fetched
    Identity base;      // the installed version it starts from
};

PatchPlan::PatchPlan(EngineLink &link, const Manifest *manifest)
    : link_(link), base_(std::make_unique<Base>()) {
    const std::vector<FileRecord *> &downloads = link.downloads;
    fetches_ = downloads;
    planned_.resize(downloads.size());
    if (manifest == nullptr || !link.context->settings.deltas) return;
    // A first installation has nothing to patch: the index is not asked for.
    const auto installed = [](const FileRecord *file) {
        struct stat info;
        return patchable(*file) && open_base(*file->localpath, info).fd >= 0;
    };
    if (std::none_of(downloads.begin(), downloads.end(), installed)) return;
    // Without libzstd no patch could be decoded: none is asked for.
    if (!zstd_unavailable().empty()) return;
    index_ = fetch_index(link, *manifest);
    if (index_ == nullptr) return;
    // Only the files the index has patches for and whose version is not
    // known are digested, on two cores: every other one is handed to a worker.
    std::unordered_set<std::string_view> offered;
    for (const DeltaPatch &patch : index_->patches) offered.insert(patch.sitepath);
    std::vector<Installed> found(downloads.size());
    {
        Worker<size_t> worker(std::max<size_t>(downloads.size(), 1),
                              [&](size_t &i) { found[i].take(*downloads[i]); });
        bool mine = true;
        for (size_t i = 0; i < downloads.size(); i++) {
            if (!patchable(*downloads[i]) || !offered.contains(*downloads[i]->sitepath)) continue;
            if (mine || !worker.push(i)) found[i].take(*downloads[i]);
            mine = !mine;
        }
    }
    for (size_t i = 0; i < downloads.size(); i++) {
        const FileRecord &file = *downloads[i];
        if (!found[i].identity) continue;
        const DeltaPatch *patch =
            delta_index_find(*index_, *file.sitepath, found[i].digest, file.sha256);
        // A patch as large as the file saves nothing.
        if (patch == nullptr || patch->size >= file.size) continue;
        planned_[i] = std::make_unique<Planned>(Planned{FileRecord{}, *found[i].identity});
        FileRecord &record = planned_[i]->record;
        record.sitepath = patch->patch_sitepath;
        record.size = static_cast<int32_t>(patch->size);
        record.sha256 = patch->sha256;
        record.sha256_set = true;
        record.optional = true;
        // Made no earlier than the version it gives: a cache's copy of it
        // from since then serves, as one of the file would.
        record.time = file.time;
        fetches_[i] = &record;
    }
}

PatchPlan::~PatchPlan() = default;

int PatchPlan::get(size_t i) {
    if (planned_[i] != nullptr) {
        const int patched = patch(i);
        if (patched >= 0) return patched;
        const std::atomic<bool> *stop = link_.context->io.stop;
        if (stop != nullptr && stop->load()) return -1;
    }
    return engine_get_file(*link_.downloads[i], link_, true);
}

// Lets go of the installed version just decoded against, and maps the one
// the next patch starts from.
void PatchPlan::prepare_after(size_t i) {
    for (size_t j = i + 1; j < planned_.size(); j++)
        if (planned_[j] != nullptr)
            return base_->prepare(*link_.downloads[j]->localpath, planned_[j]->base);
    base_->let_go();
}

// 0 when the file came from its patch, -1 when the whole file is to be
// fetched (the reason told with -v).
int PatchPlan::patch(size_t i) {
    EngineContext *context = link_.context;
    FileRecord &file = *link_.downloads[i];
    FileRecord &record = planned_[i]->record;
    TempCopy copy;  // the file's, filled from the patch
    std::string why;
    {
        ErrorsAside aside(context->io);
        const CopyCheck intact = [&](TempCopy &fetched) {
            const bool good = engine_copy_matches(fetched, record);
            if (!good) why = "its size or SHA-256 is not the index's";
            return good;
        };
        const int prepared = engine_prepare_tempfile(context, record);
        if (prepared < 0 || (prepared == 0 && engine_get_patch(record, link_, intact) < 0)) {
            if (why.empty()) why = aside.last().empty() ? "not fetched" : aside.last();
        } else if (const char *base = base_->map(*file.localpath, planned_[i]->base);
                   base == nullptr) {
            why = "the installed file changed or cannot be read";
        } else {
            TempCopy patch;
            PatchOutcome decoded;
            const bool opened = patch.open(context->io, record, CopyUse::kRead) >= 0 &&
                                copy.open(context->io, file, CopyUse::kEmpty) >= 0;
            if (opened)
                decoded = decoder_.apply(
                    std::string_view(base, static_cast<size_t>(planned_[i]->base.size)), patch.fd(),
                    record.size, static_cast<uint32_t>(file.size),
                    [&](const uint8_t *data, size_t size) {
                        return copy.append(reinterpret_cast<const char *>(data),
                                           static_cast<uint32_t>(size)) == 0;
                    });
            // The installed version is read no more: the next one is mapped
            // while the copy's digest is finished.
            prepare_after(i);
            if (!opened) {
                why = aside.last();
            } else {
                copy.finish_append();
                // A copy that could not take the bytes says why itself.
                if (!decoded.ok())
                    why = decoded.error == PatchError::kStopped && !aside.last().empty()
                              ? aside.last()
                              : decoded.text;
            }
            if (why.empty() && !engine_copy_matches(copy, file))
                why = "the result does not match its manifest";
        }
    }
    if (!record.tempfile.empty()) unlink(record.tempfile.c_str());
    if (!why.empty()) {
        if (copy.fd() >= 0) (void)copy.truncate();
        file.received = 0;
        events_of(context->io)
            .patch_failed(record.sitepath->c_str(), file.sitepath->c_str(), why.c_str());
        return -1;
    }
    file.received = static_cast<int32_t>(copy.held());
    // Told and checked as a download's copy is, signature included.
    if (engine_verify_copy(context, file, copy) < 0) return -1;
    copy.write_back(&link_.flusher, &file.copy_durable);
    const timespec times[2] = {{file.time, 0}, {file.time, 0}};
    (void)futimens(copy.fd(), times);
    patched_++;
    saved_ += file.size - record.size;
    return 0;
}
