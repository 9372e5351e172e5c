// Patches made and decoded with libzstd, loaded on the first use: a run
// that finds no patch to apply never maps the library.
#include "support/patch_codec.h"

#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

// The frame header's record and the largest window are in the part of the
// header not promised to stay; the record has kept its layout (with two
// fields reserved for growth) since 1.4, the window is the format's.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include "support/shared_library.h"

namespace {

// Every call of libzstd the codec makes.
// clang-format off
#define QAVO_ZSTD_CALLS(X) \
    X(ZSTD_isError) \
    X(ZSTD_getErrorCode) \
    X(ZSTD_getErrorName) \
    X(ZSTD_compressBound) \
    X(ZSTD_createCCtx) \
    X(ZSTD_freeCCtx) \
    X(ZSTD_CCtx_setParameter) \
    X(ZSTD_CCtx_refPrefix) \
    X(ZSTD_compress2) \
    X(ZSTD_createDCtx) \
    X(ZSTD_freeDCtx) \
    X(ZSTD_DCtx_setParameter) \
    X(ZSTD_DCtx_reset) \
    X(ZSTD_DCtx_refPrefix) \
    X(ZSTD_getFrameHeader) \
    X(ZSTD_decompressStream)
// clang-format on

struct Zstd {
#define QAVO_ZSTD_FIELD(name) decltype(&::name) name = nullptr;
    QAVO_ZSTD_CALLS(QAVO_ZSTD_FIELD)
#undef QAVO_ZSTD_FIELD
};

const Zstd *zstd(std::string &why) {
    static const auto loaded =
        load<Zstd>("libzstd.so.1", [](void *library, Zstd &calls) -> const char * {
            QAVO_ZSTD_CALLS(QAVO_LOOKUP)
            return nullptr;
        });
    why = loaded.why;
    return loaded.calls.get();
}

// On 16 MiB of random bytes changed by 1 % (20 edits of 8 KiB), levels 1
// to 9 give the same patch (0.65 % of the file: the new bytes) and the
// time grows from 0.03 s (1 and 3, the library's default) to 0.3 s (9);
// 19 takes 5 s.
constexpr int kLevel = 3;

// The patch is read in chunks of this size, and offered to the decoder in
// slices of kSlice: a slice of references to the base may stand for a
// megabyte of output.
constexpr size_t kChunk = 128 * 1024;
constexpr size_t kSlice = 4 * 1024;
// The decoded target is handed on in stretches of at least this size.
constexpr size_t kHandOver = 1024 * 1024;

std::string zstd_failure(const Zstd &calls, size_t result) {
    return calls.ZSTD_getErrorName(result);
}

// A window's size as a -v line shows it.
std::string power(uint64_t size) {
    for (int log = 0; log < 64; ++log)
        if (size == uint64_t{1} << log) return "2^" + std::to_string(log);
    return std::to_string(size);
}

PatchOutcome too_long(uint32_t target_size) {
    return {PatchError::kTooLong, "longer than " + std::to_string(target_size) + " bytes"};
}

PatchOutcome too_short(uint32_t target_size) {
    return {PatchError::kTooShort, "shorter than " + std::to_string(target_size) + " bytes"};
}

// The error a decoder's refusal stands for.
PatchOutcome decoding_failed(const Zstd &calls, size_t result, const ZSTD_frameHeader &header,
                             int window_log) {
    switch (calls.ZSTD_getErrorCode(result)) {
        case ZSTD_error_frameParameter_windowTooLarge:
            // (unknown when the header itself asks more than zstd allows)
            return {
                PatchError::kWindow,
                "window" +
                    (header.windowSize != 0 ? " of " + power(header.windowSize) + " bytes" : "") +
                    " is larger than the 2^" + std::to_string(window_log) + " allowed"};
        case ZSTD_error_prefix_unknown:
        case ZSTD_error_version_unsupported:
        case ZSTD_error_frameParameter_unsupported:
            return {PatchError::kMalformed, "not a patch (" + zstd_failure(calls, result) + ")"};
        default:
            return {PatchError::kCorrupt, "decoding failed (" + zstd_failure(calls, result) + ")"};
    }
}

// Refuses, before any decoding, what does not start one zstd frame of the
// target's size: `start` holds the patch's first bytes (all of a short one).
PatchOutcome check_header(const Zstd &calls, const uint8_t *start, size_t size,
                          uint32_t target_size, int window_log, ZSTD_frameHeader &header) {
    const size_t need = calls.ZSTD_getFrameHeader(&header, start, size);
    if (calls.ZSTD_isError(need)) return decoding_failed(calls, need, header, window_log);
    if (need != 0) return {PatchError::kMalformed, "the patch ends inside its frame header"};
    if (header.frameType != ZSTD_frame)
        return {PatchError::kMalformed, "not a patch (a skippable frame)"};
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) return {};
    if (header.frameContentSize > target_size) return too_long(target_size);
    if (header.frameContentSize < target_size) return too_short(target_size);
    return {};
}

// Reads `want` bytes, fewer only at the end of the data: the count, or -1.
ssize_t read_fully(int fd, uint8_t *buffer, size_t want) {
    size_t got = 0;
    while (got < want) {
        const ssize_t count = read(fd, buffer + got, want - got);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return -1;
        if (count == 0) break;
        got += static_cast<size_t>(count);
    }
    return static_cast<ssize_t>(got);
}

// A base that is a file's mapping faults (SIGBUS) where the file no longer
// reaches, when something truncates it during the decoding. The fault in
// the base's bytes goes back to where the decoder was called; any other
// keeps its usual course.
struct BaseGuard {
    const char *from = nullptr;
    const char *to = nullptr;
    volatile sig_atomic_t armed = 0;  // inside the decoder: `back` is where to go
    sigjmp_buf back;
};
thread_local BaseGuard *guarded = nullptr;
struct sigaction usual_bus;

void on_bus(int, siginfo_t *info, void *) {
    BaseGuard *guard = guarded;
    const char *at = static_cast<const char *>(info->si_addr);
    if (guard != nullptr && guard->armed != 0 && at >= guard->from && at < guard->to)
        siglongjmp(guard->back, 1);
    // Not ours: the faulting access runs again under the usual action.
    sigaction(SIGBUS, &usual_bus, nullptr);
}

// Catches faults in the base while it lives, for the thread making it.
class BusCatch {
   public:
    explicit BusCatch(std::string_view base) {
        guard_.from = base.data();
        guard_.to = base.data() + base.size();
        struct sigaction catching = {};
        catching.sa_sigaction = on_bus;
        // Not blocked in the handler: the jump leaves it without restoring
        // a signal mask, and a later fault must be caught again.
        catching.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&catching.sa_mask);
        sigaction(SIGBUS, &catching, &usual_bus);
        guarded = &guard_;
    }
    ~BusCatch() {
        guarded = nullptr;
        sigaction(SIGBUS, &usual_bus, nullptr);
    }
    BusCatch(const BusCatch &) = delete;
    BusCatch &operator=(const BusCatch &) = delete;

    // One call of the decoder; false when it faulted in the base. Nothing
    // in this frame needs unwinding, and libzstd's frames are C's: the jump
    // skips no destructor.
    [[gnu::noinline]] bool decompress(const Zstd &calls, ZSTD_DCtx *context, ZSTD_outBuffer *output,
                                      ZSTD_inBuffer *input, size_t &result) {
        if (sigsetjmp(guard_.back, 0) != 0) {
            guard_.armed = 0;
            return false;
        }
        guard_.armed = 1;
        result = calls.ZSTD_decompressStream(context, output, input);
        guard_.armed = 0;
        return true;
    }

   private:
    BaseGuard guard_;
};

}  // namespace

std::string zstd_unavailable() {
    std::string why;  // left empty when the library is loaded
    zstd(why);
    return why;
}

int patch_window_log(uint64_t base_size, uint64_t target_size) {
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < ZSTD_WINDOWLOG_MAX && (uint64_t{1} << log) < base_size + target_size) ++log;
    return log;
}

std::string patch_make(std::string_view base, std::string_view target, std::string &patch) {
    patch.clear();
    std::string why;
    const Zstd *calls = zstd(why);
    if (calls == nullptr) return why;
    const int window_log = patch_window_log(base.size(), target.size());
    if (base.size() + target.size() > (uint64_t{1} << window_log))
        return "the two versions are larger than the 2^" + std::to_string(window_log) +
               " bytes a patch can reach";
    const std::unique_ptr<ZSTD_CCtx, decltype(calls->ZSTD_freeCCtx)> context(
        calls->ZSTD_createCCtx(), calls->ZSTD_freeCCtx);
    if (context == nullptr) return "cannot make a compression context";
    // The window covers the base and the target, so that any byte of the
    // base stays within reach; long-distance matching finds the shared
    // stretches however far apart they moved; the checksum lets the zstd
    // tool check a patch on its own (the updater checks the result's
    // SHA-256 instead). The target's size, which the
    // updater checks before decoding, is written into the frame's header:
    // one call compresses the whole target, so the size is known.
    const std::pair<ZSTD_cParameter, int> parameters[] = {
        {ZSTD_c_compressionLevel, kLevel},
        {ZSTD_c_windowLog, window_log},
        {ZSTD_c_enableLongDistanceMatching, 1},
        {ZSTD_c_checksumFlag, 1},
        {ZSTD_c_contentSizeFlag, 1},
    };
    for (const auto &[parameter, value] : parameters) {
        const size_t result = calls->ZSTD_CCtx_setParameter(context.get(), parameter, value);
        if (calls->ZSTD_isError(result)) return zstd_failure(*calls, result);
    }
    size_t result = calls->ZSTD_CCtx_refPrefix(context.get(), base.data(), base.size());
    if (calls->ZSTD_isError(result)) return zstd_failure(*calls, result);
    patch.resize(calls->ZSTD_compressBound(target.size()));
    result = calls->ZSTD_compress2(context.get(), patch.data(), patch.size(), target.data(),
                                   target.size());
    if (calls->ZSTD_isError(result)) {
        patch.clear();
        return zstd_failure(*calls, result);
    }
    patch.resize(result);
    return "";
}

struct PatchDecoder::State {
    const Zstd *calls = nullptr;
    ZSTD_DCtx *context = nullptr;
    std::vector<uint8_t> in = std::vector<uint8_t>(kChunk);
    // The whole target, decoded in place: the decoder needs no window of
    // its own, nothing is copied out of one, and the pages stay mapped for
    // the next patch.
    std::unique_ptr<uint8_t[]> out;
    size_t room = 0;
    ~State() {
        if (context != nullptr) calls->ZSTD_freeDCtx(context);
    }
};

PatchDecoder::PatchDecoder() = default;
PatchDecoder::~PatchDecoder() = default;

PatchOutcome PatchDecoder::apply(std::string_view base, int patch_fd, int64_t patch_size,
                                 uint32_t target_size, const PatchSink &sink) {
    std::string why;
    const Zstd *calls = zstd(why);
    if (calls == nullptr) return {PatchError::kUnavailable, why};
    if (patch_size <= 0) return {PatchError::kMalformed, "an empty patch"};
    if (state_ == nullptr) {
        state_ = std::make_unique<State>();
        state_->calls = calls;
    }
    if (state_->context == nullptr) state_->context = calls->ZSTD_createDCtx();
    ZSTD_DCtx *context = state_->context;
    if (context == nullptr) return {PatchError::kCorrupt, "cannot make a decompression context"};
    if (target_size > state_->room) {
        state_->out.reset(new (std::nothrow) uint8_t[target_size]);
        state_->room = state_->out != nullptr ? target_size : 0;
        if (state_->out == nullptr)
            return {PatchError::kCorrupt,
                    "no memory for " + std::to_string(target_size) + " bytes"};
    }
    const int window_log = patch_window_log(base.size(), target_size);
    // A reset keeps what the decoder holds for the next frame's use,
    // nothing of the last frame's. The output is the target's own buffer,
    // exactly its size: a frame that would write more is refused.
    size_t result = calls->ZSTD_DCtx_reset(context, ZSTD_reset_session_and_parameters);
    if (!calls->ZSTD_isError(result))
        result = calls->ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, window_log);
    if (!calls->ZSTD_isError(result))
        result = calls->ZSTD_DCtx_setParameter(context, ZSTD_d_stableOutBuffer, 1);
    // The frame's checksum is not computed: the copy's SHA-256 is checked
    // against the manifest anyway, and on the core that decodes and writes
    // the copy the checksum cost about a tenth of each file's time. A
    // library that refuses to leave it out checks it.
    if (!calls->ZSTD_isError(result))
        (void)calls->ZSTD_DCtx_setParameter(context, ZSTD_d_forceIgnoreChecksum, 1);
    if (!calls->ZSTD_isError(result))
        result = calls->ZSTD_DCtx_refPrefix(context, base.data(), base.size());
    if (calls->ZSTD_isError(result)) return {PatchError::kCorrupt, zstd_failure(*calls, result)};

    std::vector<uint8_t> &in = state_->in;
    BusCatch bus(base);
    // Never null, even for an empty target.
    uint8_t empty = 0;
    ZSTD_outBuffer output{target_size != 0 ? state_->out.get() : &empty, target_size, 0};
    ZSTD_inBuffer input{in.data(), 0, 0};
    size_t fed = 0;  // the bytes of `in` offered to the decoder so far
    ZSTD_frameHeader header{};
    uint64_t unread = static_cast<uint64_t>(patch_size);
    size_t handed = 0;  // the output handed to the sink
    for (;;) {
        if (fed == input.size && unread > 0) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, unread));
            const ssize_t got = read_fully(patch_fd, in.data(), want);
            if (got < 0) return {PatchError::kRead, "cannot read the patch"};
            if (static_cast<size_t>(got) < want) {
                errno = 0;  // no call failed
                return {PatchError::kRead,
                        "the patch ends after " +
                            std::to_string(patch_size - static_cast<int64_t>(unread) + got) +
                            " of " + std::to_string(patch_size) + " bytes"};
            }
            const bool first = unread == static_cast<uint64_t>(patch_size);
            unread -= want;
            input = {in.data(), 0, 0};
            fed = want;
            if (first) {
                PatchOutcome refused =
                    check_header(*calls, in.data(), want, target_size, window_log, header);
                if (!refused.ok()) return refused;
            }
        }
        // The input goes in by slices, so that the output comes out in
        // stretches the sink can take on while the next is decoded.
        if (input.pos == input.size) input.size = std::min(fed, input.size + kSlice);
        const size_t before_in = input.pos;
        const size_t before_out = output.pos;
        if (!bus.decompress(*calls, context, &output, &input, result)) {
            // Left in the middle of a block: made afresh for the next patch.
            calls->ZSTD_freeDCtx(state_->context);
            state_->context = nullptr;
            return {PatchError::kBaseGone, "the installed file shrank while it was read"};
        }
        if (calls->ZSTD_isError(result)) {
            if (calls->ZSTD_getErrorCode(result) == ZSTD_error_dstSize_tooSmall)
                return too_long(target_size);
            return decoding_failed(*calls, result, header, window_log);
        }
        const bool ended = result == 0;
        if (output.pos - handed >= kHandOver || (ended && output.pos > handed)) {
            if (!sink(state_->out.get() + handed, output.pos - handed))
                return {PatchError::kStopped, "stopped by its receiver"};
            handed = output.pos;
        }
        if (ended) {
            if (input.pos != fed || unread > 0)
                return {PatchError::kMalformed, "data after the patch's frame"};
            if (output.pos < target_size) return too_short(target_size);
            return {};
        }
        // Everything offered was taken and nothing more came out: the
        // frame was cut.
        if (input.pos == fed && unread == 0 && input.pos == before_in && output.pos == before_out)
            return {PatchError::kMalformed, "the patch ends inside its frame"};
    }
}

PatchOutcome patch_apply(std::string_view base, int patch_fd, int64_t patch_size,
                         uint32_t target_size, const PatchSink &sink) {
    PatchDecoder decoder;
    return decoder.apply(base, patch_fd, patch_size, target_size, sink);
}
