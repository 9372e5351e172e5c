// The transfer plugin record and the fixed table of plugins through which
// the engine fetches every file without knowing any protocol. A plugin's
// session performs one attempt at one file; the engine's fetch owns the
// attempt loop, the budget and the retry event.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "core/context.h"
#include "core/records.h"
#include "support/budget.h"
#include "transfer/copy_target.h"
#include "transfer/write_gate.h"

// What one attempt at a file came to.
enum class AttemptOutcome {
    kDone,     // the copy holds the file
    kRetry,    // failed (reported); another attempt may do better
    kRefused,  // failed (reported) in a way no attempt at this mirror can change
    kFailed,   // failed for good (reported)
};

// A plugin's work for one run: a login, a kept connection, a base directory.
class PluginSession {
   public:
    virtual ~PluginSession() = default;
    // Before the file's progress event: false fails the file.
    virtual bool begin_file(FileRecord &file) {
        (void)file;
        return true;
    }
    // The files the engine turns to after the one it begins next, in
    // order, which a session may ask for ahead; valid until the next call.
    virtual void look_ahead(std::span<FileRecord *const> next) { (void)next; }
    // Before the retry event of attempt `attempt` (from 0): what the attempt
    // needs set up first; false fails the file for good.
    virtual bool prepare(FileRecord &file, int32_t attempt, CopyTarget &copy) {
        (void)file;
        (void)attempt;
        (void)copy;
        return true;
    }
    // One attempt at file.sitepath into the copy, which the attempt opens
    // and leaves open for the engine's verification.
    virtual AttemptOutcome attempt(FileRecord &file, CopyTarget &copy) = 0;
    // After a failed attempt: the seconds the server asked to be left alone
    // (429 or 503 with Retry-After), or -1 when it asked nothing.
    virtual int64_t retry_after() const { return -1; }
    // After a finished attempt whose copy failed its checks.
    virtual void copy_refused() {}

    // Running a file ahead, before the engine asks for it (the network side
    // does so while the updater checks the file before). Whether the first
    // attempt at `next` would only read what requests already asked for.
    virtual bool answers_ahead(const FileRecord &next) const {
        (void)next;
        return false;
    }
    // Before each file run ahead: from now on writes are held and a new
    // connection asks the gate, until every file run ahead is confirmed or
    // they are abandoned.
    virtual void hold_writes(WriteGate &gate) { (void)gate; }
    // The engine asked for the first file run ahead and not yet confirmed:
    // what was held while it ran goes out (what later ones wrote waits for
    // their turn), at once or, with `gather`, at send_confirmed(), so that
    // what several confirmations let go leaves in one write. Anything else
    // the session is asked to do sends it first.
    virtual void confirm_ahead(bool gather) { (void)gather; }
    virtual void send_confirmed() {}
    // The engine turned elsewhere: the first file not confirmed and every
    // one after it are undone as far as the server can tell (the connection
    // is closed, what was held dropped) and the session is as it was before
    // the first of them.
    virtual void abandon_ahead() {}
};

struct Plugin {
    const char *name;      // informational; the engine never consults it
    ZeroTries zero_tries;  // what a count of 0 attempts means here
    // A session when the plugin serves `url`, the information file's URL at
    // one mirror, else null. Its waits draw on `budget`, which the engine
    // sets up for every file and which outlives the session.
    std::unique_ptr<PluginSession> (*open)(EngineContext *context, const std::string &url,
                                           TransferBudget &budget);
};

extern const Plugin file_plugin;
extern const Plugin ftp_plugin;
extern const Plugin http_plugin;

// Records that the mirror's URL names no host and port to connect to, so
// that a plugin that cannot open never fails without a reason.
void record_unusable_mirror(EngineContext *context, const std::string &url);

// file, ftp, http: asked in this order.
extern const Plugin *const plugin_table[3];
