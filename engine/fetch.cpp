// Temporary copies, the decision whether a listed file must be fetched, and
// the fetch through the run's transfer plugin: the one attempt loop of every
// protocol, with verification afterwards.
#include "engine/fetch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "core/clock.h"
#include "core/error.h"
#include "core/events.h"
#include "engine/installed.h"
#include "engine/manifest_check.h"
#include "infofile/record_ops.h"
#include "integrity/md5.h"
#include "integrity/rsa.h"
#include "support/connect.h"
#include "support/data_io.h"
#include "support/file_digest.h"
#include "support/kept_copy.h"
#include "support/path.h"
#include "support/privfile.h"
#include "support/temp_copy.h"
#include "transfer/url.h"

std::string engine_catalogue_name(const std::string &url) {
    const size_t slash = url.rfind('/');
    return slash != std::string::npos ? url.substr(slash + 1) : url;
}

// The same key maps to the same name in every run, which is what lets a
// run resume a copy (or find a record) that an earlier one left.
std::string engine_temp_name(const std::string &temp_dir, std::string_view key,
                             std::string_view suffix) {
    const std::string hex = md5_hex_of(key);
    // Made at its final length: a run keeps one such name for every file.
    std::string name;
    name.reserve(temp_dir.size() + 1 + hex.size() + suffix.size());
    name.append(temp_dir).append("/").append(hex).append(suffix);
    normalize_path(name);
    return name;
}

namespace {

void verdict(EngineContext *context, bool signature, const FileRecord &file, Verdict verdict) {
    Events &events = events_of(context->io);
    if (signature) {
        events.verify_signature(file_event(&file), verdict);
    } else {
        events.verify_md5(file_event(&file), verdict);
    }
}

// Whether the whole of an open copy has the listed digest.
bool copy_matches(const TempCopy &copy, const FileRecord &file) {
    return lseek(copy.fd(), 0, SEEK_SET) == 0 &&
           file_digest_fd_matches(file, copy.fd(), copy.held());
}

// Inspects a copy of our own: kept when it already has the listed digest,
// emptied otherwise. A copy of a file without digest never qualifies.
int reuse_or_empty(EngineContext *context, FileRecord &file, TempCopy &copy) {
    file.received = static_cast<int32_t>(copy.held());
    const bool good = file_digest_listed(file) && copy_matches(copy, file);
    verdict(context, false, file, good ? Verdict::kOk : Verdict::kFailed);
    if (good) return 1;
    if (copy.held() != 0 && copy.truncate() < 0) return -1;
    file.received = 0;
    return 0;
}

int open_or_create(EngineContext *context, FileRecord &file) {
    // A directory that others may clear or rename in is refused; one that
    // is missing fails below, where the copy is created.
    if (private_directory_check(context->settings.temp_dir.c_str()) == DirectoryCheck::kExposed)
        return record_error_code(context->io, ERR_FILE_SYSCALL, EPERM, "temppath");
    TempCopy copy;
    const int found = copy.open(context->io, file, CopyUse::kPrepare);
    if (found < 0) return copy.report();
    if (found == 1) return reuse_or_empty(context, file, copy);
    file.received = 0;
    return 0;
}

// Whether the copy has the listed digest. The digest taken while the copy
// was written serves when it covers exactly what the copy holds now;
// otherwise the copy is read again.
bool copy_has_listed_digest(TempCopy &copy, const FileRecord &file) {
    if (file.sha256_set && copy.held() != static_cast<uint32_t>(file.size)) return false;
    copy.settle();
    if (file.copy_digest_set && file.copy_digest_bytes == copy.held()) {
        return file.sha256_set ? file.copy_digest == file.sha256
                               : memcmp(file.copy_digest.data(), file.md5, kMd5DigestSize) == 0;
    }
    return copy_matches(copy, file);
}

}  // namespace

// After a fetch, on the copy the last attempt wrote: a file with a digest
// is compared with it, one without an MD5 is checked by the signature
// appended to it. A bad copy is emptied so that the next run starts it afresh.
int engine_verify_copy(EngineContext *context, FileRecord &file, TempCopy &copy) {
    const bool signature = file_md5_missing(file);
    bool good = false;
    bool digest_good = true;  // unless a measured copy differs
    // What it holds now: an attempt that wrote from the first byte again
    // may have left older bytes behind its own.
    // A signed file that its manifest lists must pass both checks.
    if (copy.measure()) {
        digest_good = !file_digest_listed(file) || copy_has_listed_digest(copy, file);
        good = digest_good && (!signature || rsa_verify_descriptor(rsa_public_key, copy.fd()) == 0);
    }
    verdict(context, signature, file, good ? Verdict::kOk : Verdict::kFailed);
    if (good) return 0;
    // A manifest's refusal is said in a line of its own, as the others are.
    if (file.sha256_set && !digest_good) manifest_refuse_file(context, file);
    if (copy.fd() >= 0 && ftruncate(copy.fd(), 0) == 0) file.received = 0;
    return -1;
}

bool engine_read_copy(EngineContext *context, FileRecord &file, uint32_t limit, std::string &text) {
    TempCopy copy;
    if (copy.open(context->io, file, CopyUse::kRead) < 0) {
        copy.report();
        return false;
    }
    const uint32_t length = std::min(copy.held(), limit + 1);
    text.resize(length);
    for (uint32_t done = 0; done < length;) {
        const int count =
            file_read(context->io, copy.fd(), text.data() + done, static_cast<int>(length - done));
        if (count < 0) return false;
        if (count == 0) {
            text.resize(done);
            break;
        }
        done += static_cast<uint32_t>(count);
    }
    return true;
}

bool engine_copy_matches(TempCopy &copy, const FileRecord &file) {
    return copy.measure() && copy_has_listed_digest(copy, file);
}

namespace {

// A server that asked to be left alone for a while (429 or 503 with
// Retry-After) gets its wait before the next attempt, when the wait is
// short and the watchdog leaves room for it: never a tight loop against
// it. A longer wait ends the file's attempts instead.
bool server_wait_allowed(EngineContext *context, int64_t seconds) {
    constexpr int64_t kLongestWait = 300;
    std::string refusal;
    if (seconds > kLongestWait) {
        refusal = "the longest wait is " + std::to_string(kLongestWait) + " seconds";
    } else if (context->io.alarm_deadline != 0 &&
               wall_seconds() + seconds >= context->io.alarm_deadline) {
        refusal = "the alarm ends the run before that";
    }
    if (refusal.empty()) return true;
    const std::string asked =
        seconds == INT64_MAX ? "longer" : std::to_string(seconds) + " seconds";
    record_error_text(context->io, ERR_WAIT,
                      "server asked to wait " + asked + " (Retry-After); " + refusal,
                      "Retry-After");
    return false;
}

// Attempts of one file at one mirror are spaced out: the first retry at
// once, then 1, 2, ... up to 10 seconds apart, so that no count of tries
// (0 is without limit over HTTP) turns into a flood of requests. A move
// to a mirror not yet tried for the file is not delayed.
int32_t retry_spacing(int32_t attempt, size_t mirrors) {
    constexpr int32_t kLongestSpacing = 10;
    const int32_t earlier = attempt / static_cast<int32_t>(mirrors);  // at that mirror
    return std::clamp(earlier - 1, 0, kLongestSpacing);
}

// The pause before the next attempt: the spacing, or the server's own
// wait when it asked for a longer one.
bool pause_before_retry(EngineContext *context, int32_t spacing, int64_t asked) {
    Events &events = events_of(context->io);
    int32_t seconds = spacing;
    if (asked > spacing) {
        seconds = static_cast<int32_t>(asked);
        events.server_wait(seconds);
    } else if (seconds > 0) {
        events.retry_wait(seconds);
    }
    return pause_sliced(context->io, seconds) != WaitEnd::kFailed;
}

// A copy that passed its checks and that the server gave validators for is
// kept for the next run's question. Not keeping it costs that run only a
// download, so a failure is not the run's.
void keep_verified(EngineContext *context, const FileRecord &file, const TempCopy &copy) {
    if (!file.kept || file.kept->reused || file.kept->key.empty() ||
        (file.kept->etag.empty() && file.kept->last_modified.empty()))
        return;
    (void)kept_store(context->state_fd, *file.kept, copy.fd());
}

// A copy that the server confirmed (304) and that fails its checks was
// damaged here, not at the mirror: it is checked quietly first, and when
// it fails, the kept copy is dropped and the file asked for afresh (once).
bool kept_copy_damaged(EngineContext *context, FileRecord &file, TempCopy &copy,
                       const CopyCheck &check) {
    if (check == nullptr || !file.kept || !file.kept->reused || file.kept->refused) return false;
    bool good = false;
    {
        Hush hush(context->io);
        good = check(copy);
    }
    if (good) return false;
    file.kept->refused = true;
    file.kept->reused = false;
    kept_remove(context->state_fd, file.kept->key);
    events_of(context->io).kept_damaged(file.kept->key.c_str());
    return true;
}

// The next attempt goes to the next mirror (after the last, the first),
// through a session of its own there; the file keeps its budget, which the
// goodbye to the mirror left behind may not refill.
bool move_to_next_mirror(EngineLink &link, FileRecord &file) {
    EngineContext *context = link.context;
    const std::vector<std::string> &urls = context->settings.mirror_urls;
    link.mirror = (link.mirror + 1) % urls.size();
    const int32_t used = link.budget.used;
    link.session.reset();
    link.budget.used = used;
    Url url;
    (void)url_parse(link.url(), url);
    events_of(context->io)
        .next_mirror(url.host ? url.host->c_str() : nullptr, url.port,
                     static_cast<int32_t>(link.mirror + 1), static_cast<int32_t>(urls.size()));
    link.session = link.plugin->open(context, link.url(), link.budget);
    if (link.session == nullptr) return false;
    link.session->look_ahead(link.ahead);
    return link.session->begin_file(file);
}

// The one attempt loop. Each attempt opens the copy, and the last one
// leaves it open for the checks. The plugin says what a count of 0 means;
// the expired waits of an attempt count against the budget too. With
// several mirrors, a failed or refused attempt or a copy that fails its
// checks sends the next attempt to the next mirror; with one, a server
// that asked for patience gets it first. Retries at a mirror already
// tried are spaced.
int fetch_attempts(EngineLink &link, FileRecord &file, TempCopy &copy, const CopyCheck &check,
                   int32_t tries) {
    EngineContext *context = link.context;
    Events &events = events_of(context->io);
    TransferBudget &budget = link.budget;
    const size_t mirrors = context->settings.mirror_urls.size();
    budget = budget_start(tries);
    link.session->look_ahead(link.ahead);
    if (!link.session->begin_file(file)) return -1;
    events.progress(file_event(&file));
    int64_t asked = -1;  // the server's Retry-After, in seconds
    LocalCopy target(context, copy);
    for (int32_t attempt = 0; budget.may_begin(attempt, link.plugin->zero_tries); attempt++) {
        if (attempt > 0 && !pause_before_retry(context, retry_spacing(attempt, mirrors), asked))
            return -1;
        if (attempt > 0 && mirrors > 1 && !move_to_next_mirror(link, file)) return -1;
        PluginSession &session = *link.session;
        if (!session.prepare(file, attempt, target)) return -1;
        if (attempt > 0) events.retry(budget.used, budget.limit);
        const AttemptOutcome outcome = session.attempt(file, target);
        if (outcome == AttemptOutcome::kDone && kept_copy_damaged(context, file, copy, check)) {
            attempt--;  // the same attempt again, without a condition
            continue;
        }
        budget.spend();
        if (outcome == AttemptOutcome::kFailed) return -1;
        if (outcome == AttemptOutcome::kDone) {
            if (check == nullptr || check(copy)) return 0;
            session.copy_refused();
        }
        // A refusal or a copy that fails its checks would come again from here.
        if (mirrors > 1) continue;
        if (outcome != AttemptOutcome::kRetry) return -1;
        asked = session.retry_after();
        if (asked >= 0 && budget.may_begin(attempt + 1, link.plugin->zero_tries) &&
            !server_wait_allowed(context, asked))
            return -1;
    }
    return -1;
}

}  // namespace

int engine_prepare_tempfile(EngineContext *context, FileRecord &file) {
    if (context == nullptr || !file.sitepath) return -1;
    file.tempfile = engine_temp_name(context->settings.temp_dir, *file.sitepath, "");
    file.copy_durable = false;
    const int result = open_or_create(context, file);
    if (result < 0) file.tempfile.clear();
    return result;
}

int engine_check_file(FileRecord &file, EngineLink &link, CheckAhead *ahead) {
    EngineContext *context = link.context;
    if (!file.sitepath || !file.localpath || context == nullptr) return -1;
    if (file.sitepath->empty()) return 0;
    if (file.tempfile.empty()) {
        if (!expand_localpath(context, file)) return -1;
        const int installed =
            ahead != nullptr ? ahead->state(file) : installed_state(file, link.installed());
        if (installed >= 0)
            verdict(context, false, file, installed == 1 ? Verdict::kOk : Verdict::kFailed);
        if (installed == 1) return 0;
        const int prepared = engine_prepare_tempfile(context, file);
        if (prepared != 0) return prepared == 1 ? 0 : prepared;
    }
    events_of(context->io).needs_update(file_event(&file));
    link.downloads.push_back(&file);
    return 1;
}

namespace {

int get_file(FileRecord &file, EngineLink &link, bool verify, const CopyCheck &check,
             int32_t tries) {
    EngineContext *context = link.context;
    if (!file.sitepath || link.session == nullptr || context == nullptr ||
        context->installer == nullptr)
        return -1;
    // The plugin may learn another time from the server; the listed one wins.
    const int32_t listed_time = file.time;
    if (file.tempfile.empty() && verify) {
        const int needed = engine_check_file(file, link);
        if (needed != 1) return needed;
    }
    if (file.tempfile.empty()) return -1;  // never prepared: nowhere to write

    TempCopy copy;
    const CopyCheck checks = [&](TempCopy &fetched) {
        return (!verify || engine_verify_copy(context, file, fetched) == 0) &&
               (check == nullptr || check(fetched));
    };
    int result = fetch_attempts(link, file, copy, checks, tries);
    file.time = listed_time;
    if (result == 0) {
        keep_verified(context, file, copy);
        copy.write_back(&link.flusher, &file.copy_durable);  // while the next file comes
    }
    if (result == 0 && copy.fd() >= 0) {
        // A copy without its listed times is still a correct copy.
        const timespec times[2] = {{file.time, 0}, {file.time, 0}};
        (void)futimens(copy.fd(), times);
    }
    return result;
}

}  // namespace

int engine_get_file(FileRecord &file, EngineLink &link, bool verify, const CopyCheck &check) {
    return get_file(file, link, verify, check, link.context->settings.tries);
}

int engine_get_patch(FileRecord &patch, EngineLink &link, const CopyCheck &check) {
    // Each mirror once, and one more to resume a cut: a patch is never
    // worth the patience a whole file gets.
    const int32_t tries = static_cast<int32_t>(link.context->settings.mirror_urls.size()) + 1;
    const int32_t configured = link.context->settings.tries;
    return get_file(patch, link, false, check,
                    configured > 0 ? std::min(configured, tries) : tries);
}

std::unique_ptr<EngineLink> engine_open_link(EngineContext *context) {
    if (context == nullptr || context->io.events == nullptr ||
        context->settings.mirror_urls.empty())
        return nullptr;
    auto link = std::make_unique<EngineLink>();
    link->context = context;
    for (const Plugin *plugin : plugin_table) {
        link->session = plugin->open(context, link->url(), link->budget);
        if (link->session != nullptr) {
            link->plugin = plugin;
            return link;
        }
    }
    return nullptr;
}
