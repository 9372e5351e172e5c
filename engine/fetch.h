// Per-file machinery of a run: the link to the transfer plugin, temporary
// copies named after the mirror name, the need-to-fetch decision and the
// fetch with its one attempt loop and the verification.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/context.h"
#include "core/records.h"
#include "engine/installed_digests.h"
#include "support/budget.h"
#include "support/copy_flusher.h"
#include "support/temp_copy.h"
#include "transfer/plugin.h"

class CheckAhead;

struct EngineLink {
    EngineContext *context = nullptr;  // not owned
    const Plugin *plugin = nullptr;    // the first of plugin_table that took the URL
    // The budget of the file under way; declared before the session, whose
    // waits draw on it to its end (the FTP goodbye).
    TransferBudget budget;
    std::unique_ptr<PluginSession> session;
    std::vector<FileRecord *> downloads;  // not owned, in the order found
    // The downloads the engine turns to after the file under way.
    std::span<FileRecord *const> ahead;
    size_t mirror = 0;    // of context->settings.mirror_urls, where the session goes
    CopyFlusher flusher;  // of the complete large copies
    // The versions this updater installed, read when a run may patch.
    std::optional<InstalledDigests> recorded;
    // The information file's URL at the mirror in use.
    const std::string &url() const { return context->settings.mirror_urls[mirror]; }
    const InstalledDigests *installed() const { return recorded ? &*recorded : nullptr; }
};

// A check of a fetched copy that its listed digest cannot give (the
// catalogue's signature, a manifest's): true when the copy may be used.
using CopyCheck = std::function<bool(TempCopy &copy)>;

// A link through the first plugin that accepts the first mirror's URL, or null.
std::unique_ptr<EngineLink> engine_open_link(EngineContext *context);

// The catalogue's name on the mirror: the last component of its URL, which
// the files beside it (its manifest, its patch index) are named after.
std::string engine_catalogue_name(const std::string &url);

// temp_dir "/", the hexadecimal MD5 of the key, and the suffix, normalised.
std::string engine_temp_name(const std::string &temp_dir, std::string_view key,
                             std::string_view suffix);
// Names the copy temp_dir/<md5 of sitepath>, inspects or creates it: 1 when
// a complete copy with the listed digest is there, 0 when it is empty and
// ready, -1 on failure (tempfile then empty).
int engine_prepare_tempfile(EngineContext *context, FileRecord &file);
// 0 when the file is current or a complete copy waits, 1 when it was added
// to link.downloads, -1 on failure or when the needs-update event said stop.
// The installed file's state may have been taken ahead.
int engine_check_file(FileRecord &file, EngineLink &link, CheckAhead *ahead = nullptr);
// Fetches one file; with verify, first decides whether it is needed and
// afterwards checks the copy by digest or signature; a check given is made
// after that. A copy that fails them is fetched again from the next mirror
// when there are several. 0 on success or when nothing was needed, -1 on
// failure or a stop.
int engine_get_file(FileRecord &file, EngineLink &link, bool verify,
                    const CopyCheck &check = nullptr);
// Fetches a patch, prepared like a file, with the check given and fewer
// attempts than a file: each mirror once and one more. 0 or -1.
int engine_get_patch(FileRecord &patch, EngineLink &link, const CopyCheck &check);
// Checks a copy that was filled here (a decoded patch) as a download's is
// checked, the verdict told: 0, or -1 with the copy emptied.
int engine_verify_copy(EngineContext *context, FileRecord &file, TempCopy &copy);
// The whole of a fetched copy read into `text`, at most `limit` + 1 bytes
// (so that a parser can refuse one over its limit); false after recording
// the failure.
bool engine_read_copy(EngineContext *context, FileRecord &file, uint32_t limit, std::string &text);
// Whether the whole copy has the record's listed digest and size; quiet.
bool engine_copy_matches(TempCopy &copy, const FileRecord &file);
