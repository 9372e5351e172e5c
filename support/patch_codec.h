// Patches between two versions of a file: a zstd frame of the new version
// compressed with the old one as its prefix, so that what the two share
// costs a few bytes of reference. Made by the publisher, decoded by the
// updater against the installed file, which is only read (mapped, not
// copied). libzstd does the work; it is loaded on the first use, like
// libcrypto.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Why libzstd (or one of its calls) cannot be had; "" when it can. The
// first call loads the library.
std::string zstd_unavailable();

// The window a patch from a base of `base_size` bytes to a target of
// `target_size` bytes needs, as a power of two: every byte of both within
// reach of the target's last byte. The updater accepts no larger window.
int patch_window_log(uint64_t base_size, uint64_t target_size);

// Makes the patch from `base` to `target` into `patch`: "" on success,
// otherwise why not.
std::string patch_make(std::string_view base, std::string_view target, std::string &patch);

// Receives the decoded bytes in order; false stops the decoding (the
// decoder then reports kStopped). The bytes stay where they are, unchanged,
// until the decoder decodes its next patch or is gone.
using PatchSink = std::function<bool(const uint8_t *data, size_t size)>;

enum class PatchError {
    kNone,
    kUnavailable,  // libzstd cannot be had
    kRead,         // the patch could not be read (errno kept)
    kMalformed,    // not one whole zstd frame, or data after it
    kWindow,       // a window larger than the sizes allow
    kTooLong,      // more output than the target's size
    kTooShort,     // less output than the target's size
    kCorrupt,      // the decoder refused it (its blocks do not decode)
    kStopped,      // the sink said stop
    kBaseGone,     // reading the base faulted: the file mapped there shrank
};

struct PatchOutcome {
    PatchError error = PatchError::kNone;
    std::string text;  // "" with kNone, else a short reason for a -v line
    bool ok() const { return error == PatchError::kNone; }
};

// Decodes patches one after the other, keeping the decoder's window and
// buffers from one to the next: a run that patches many large files does
// not take fresh memory (and its page faults) for each.
class PatchDecoder {
   public:
    PatchDecoder();
    ~PatchDecoder();
    PatchDecoder(const PatchDecoder &) = delete;
    PatchDecoder &operator=(const PatchDecoder &) = delete;

    // Decodes the patch read from `patch_fd` (exactly `patch_size` bytes
    // from its current position) against `base`, handing exactly
    // `target_size` bytes to `sink`. Bounded: the window may not pass
    // patch_window_log of the two sizes, output beyond `target_size` is
    // never decoded, and the memory held is the target and a few buffers.
    // `base` may be a file's mapping: when the file shrinks under it, the
    // fault of reading past its end stops the decoding (kBaseGone) instead
    // of the program. The calling thread must let SIGBUS through.
    PatchOutcome apply(std::string_view base, int patch_fd, int64_t patch_size,
                       uint32_t target_size, const PatchSink &sink);

   private:
    struct State;  // libzstd's context and the buffers
    std::unique_ptr<State> state_;
};

// One patch, with a decoder of its own.
PatchOutcome patch_apply(std::string_view base, int patch_fd, int64_t patch_size,
                         uint32_t target_size, const PatchSink &sink);
