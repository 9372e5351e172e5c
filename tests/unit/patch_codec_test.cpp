// Patches between two versions: a patch gives back the exact target; a hostile
// patch is refused, and never does more than the target's size reach the sink.
#include "support/patch_codec.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <random>

#include "test_util.h"

namespace {

std::string noise(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (auto &byte : out) byte = static_cast<char>(random());
    return out;
}

// `size` bytes 'a' in one last block of `type` (1: run-length; 3 is reserved), no content size,
// a window of 2^(10 + window / 8).
std::string run_frame(uint8_t window, uint32_t size, uint32_t type = 1) {
    const uint32_t block = size << 3 | type << 1 | 1;
    return std::string("\x28\xb5\x2f\xfd\x00", 5) + static_cast<char>(window) +
           static_cast<char>(block) + static_cast<char>(block >> 8) +
           static_cast<char>(block >> 16) + "a";
}

// The outcome and what reached the sink, which says stop once it holds `stop_at` bytes; the
// patch is read from a descriptor of its own, said to be `extra` bytes longer than it is. One
// decoder serves every row, as one serves a run: what a refused patch left must spoil no other.
auto apply(std::string_view base, const std::string &patch, uint32_t size, int64_t extra = 0,
           size_t stop_at = SIZE_MAX) {
    static PatchDecoder decoder;
    const int fd = memfd_create("patch", 0);
    EXPECT_EQ(pwrite(fd, patch.data(), patch.size(), 0), static_cast<ssize_t>(patch.size()));
    std::string out;
    const PatchOutcome outcome =
        decoder.apply(base, fd, static_cast<int64_t>(patch.size()) + extra, size,
                      [&](const uint8_t *data, size_t count) {
                          out.append(reinterpret_cast<const char *>(data), count);
                          return out.size() < stop_at;
                      });
    close(fd);
    return std::pair{outcome, out};
}

const std::string kBase = noise(256 * 1024, 1);

}  // namespace

TEST(PatchCodec, WindowsCoverBothVersionsUpToTheLargestAllowed) {
    ASSERT_EQ(zstd_unavailable(), "");
    EXPECT_EQ((std::vector{patch_window_log(0, 0), patch_window_log(16 << 20, 16 << 20),
                           patch_window_log(16 << 20, (16 << 20) + 1)}),
              (std::vector{10, 25, 26}));
    const std::string_view huge(kBase.data(), size_t{1} << 31);  // refused before it is read
    std::string patch;
    EXPECT_NE(patch_make(huge, huge.substr(0, 1), patch), "");
}

TEST(PatchCodec, RefusesHostilePatchesAndNeverHandsOnMoreThanTheTarget) {
    const std::string target = std::string(kBase).insert(5000, noise(8192, 3));
    const auto size = static_cast<uint32_t>(target.size());
    std::string patch;
    ASSERT_EQ(patch_make(kBase, target, patch), "");
    const std::string cut = patch.substr(0, patch.size() - 9);
    using enum PatchError;
    const struct {
        const char *name;
        std::string base, patch;
        uint32_t size;
        int64_t extra;
        size_t stop_at, most;  // the sink's stop, the most it may receive
        PatchError error;
    } rows[] = {
        {"window", "", run_frame(0x50, 100), 100, 0, SIZE_MAX, 100, kWindow},
        {"longer", "", run_frame(0, 100), 50, 0, SIZE_MAX, 50, kTooLong},
        {"shorter", "", run_frame(0, 100), 200, 0, SIZE_MAX, 200, kTooShort},
        {"header longer", kBase, patch, size - 1, 0, SIZE_MAX, 0, kTooLong},
        {"header shorter", kBase, patch, size + 1, 0, SIZE_MAX, 0, kTooShort},
        {"reserved block", "", run_frame(0, 100, 3), 100, 0, SIZE_MAX, 0, kCorrupt},
        {"cut", kBase, cut, size, 0, SIZE_MAX, size, kMalformed},
        {"short read", kBase, cut, size, 9, SIZE_MAX, size, kRead},
        {"trailing", kBase, patch + "x", size, 0, SIZE_MAX, size, kMalformed},
        {"not zstd", kBase, "a text that is no patch", size, 0, SIZE_MAX, 0, kMalformed},
        {"skippable", kBase, std::string("\x50\x2a\x4d\x18\x01\0\0\0x", 9), size, 0, SIZE_MAX, 0,
         kMalformed},
        {"stopped", kBase, patch, size, 0, 1, size, kStopped},
        {"after them all", kBase, patch, size, 0, SIZE_MAX, size, kNone},
    };
    for (const auto &row : rows) {
        const auto [outcome, out] = apply(row.base, row.patch, row.size, row.extra, row.stop_at);
        EXPECT_EQ(outcome.error, row.error) << row.name << ": " << outcome.text;
        EXPECT_LE(out.size(), row.most) << row.name;
        EXPECT_TRUE(row.error != kNone || out == target) << row.name;
    }
    // Against another base a patch gives other bytes of the target's size: the frame's checksum
    // is left to the copy's SHA-256, which refuses them.
    const auto [other, out] = apply(noise(kBase.size(), 4), patch, size);
    EXPECT_TRUE(other.ok() && out.size() == size && out != target) << other.text;
}

TEST(PatchCodec, ABaseCutUnderItsMappingStopsThePatchAndNotTheProgram) {
    const std::string target = std::string(kBase).insert(200000, noise(8192, 5));
    const auto size = static_cast<uint32_t>(target.size());
    std::string patch;
    ASSERT_EQ(patch_make(kBase, target, patch), "");
    // The installed file as the updater maps it, then cut by someone else.
    const int fd = memfd_create("base", 0);
    ASSERT_EQ(pwrite(fd, kBase.data(), kBase.size(), 0), static_cast<ssize_t>(kBase.size()));
    void *mapped = mmap(nullptr, kBase.size(), PROT_READ, MAP_PRIVATE, fd, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    const std::string_view cut(static_cast<const char *>(mapped), kBase.size());
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    const auto [outcome, out] = apply(cut, patch, size);
    EXPECT_EQ(outcome.error, PatchError::kBaseGone) << outcome.text;
    // The decoder, left in the middle of a block, serves the next patch.
    const auto [again, whole] = apply(kBase, patch, size);
    EXPECT_TRUE(again.ok() && whole == target) << again.text;
    // A fault outside the base being decoded is not taken for one of it: the program dies of it,
    // by the signal or, under AddressSanitizer, by the sanitizer's report.
#ifdef __SANITIZE_ADDRESS__
    constexpr bool kSanitized = true;
#else
    constexpr bool kSanitized = false;
#endif
    const auto bus = [](int status) {
        return kSanitized ? WIFEXITED(status) && WEXITSTATUS(status) != 0
                          : WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
    };
    EXPECT_EXIT(
        {
            PatchDecoder decoder;
            const int patch_fd = memfd_create("patch", 0);
            (void)!pwrite(patch_fd, patch.data(), patch.size(), 0);
            (void)decoder.apply(kBase, patch_fd, static_cast<int64_t>(patch.size()), size,
                                [&](const uint8_t *, size_t) {
                                    return *static_cast<volatile const char *>(&cut[100000]) != 1;
                                });
            _exit(0);
        },
        bus, kSanitized ? "BUS on unknown address" : "");
    munmap(mapped, kBase.size());
    close(fd);
}
