// Patches between two versions: a round trip gives the exact target from a small patch, and a
// hostile patch (wide window, wrong length, another base, cut, padded, not zstd) is refused
// without more than the target's size ever reaching the sink.
#include "support/patch_codec.h"

#include <sys/mman.h>

#include <random>

#include "test_util.h"

namespace {

std::string noise(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (auto &byte : out) byte = static_cast<char>(random());
    return out;
}

// A frame of `size` bytes 'a' in one run-length block, with no content size and a window of
// 2^(10 + window / 8) bytes.
std::string run_frame(uint8_t window, uint32_t size) {
    const uint32_t block = size << 3 | 2 | 1;  // run-length, last
    return std::string("\x28\xb5\x2f\xfd\x00", 5) + static_cast<char>(window) +
           static_cast<char>(block) + static_cast<char>(block >> 8) +
           static_cast<char>(block >> 16) + "a";
}

struct Applied {
    PatchOutcome outcome;
    std::string out;
};

// The patch from a descriptor of its own; the sink says stop once it holds `stop_at` bytes.
Applied apply(std::string_view base, const std::string &patch, uint32_t target_size,
              int64_t extra = 0, size_t stop_at = SIZE_MAX) {
    const int fd = memfd_create("patch", 0);
    EXPECT_EQ(write(fd, patch.data(), patch.size()), static_cast<ssize_t>(patch.size()));
    lseek(fd, 0, SEEK_SET);
    Applied applied;
    applied.outcome =
        patch_apply(base, fd, static_cast<int64_t>(patch.size()) + extra, target_size,
                    [&](const uint8_t *data, size_t size) {
                        applied.out.append(reinterpret_cast<const char *>(data), size);
                        return applied.out.size() < stop_at;
                    });
    close(fd);
    return applied;
}

const std::string kBase = noise(256 * 1024, 1);

}  // namespace

TEST(PatchCodec, RoundTripsEditsWithAPatchOfAboutTheEditsSize) {
    ASSERT_EQ(zstd_unavailable(), "");
    // Where the edit is, the bytes it removes, the bytes it inserts (from an empty base: all new).
    const struct {
        std::string base;
        size_t at, removed, inserted;
    } rows[] = {{kBase, 1000, 0, 8192},
                {kBase, 100000, 8192, 0},
                {kBase, 200000, 8192, 8192},
                {"", 0, 0, 8192}};
    for (const auto &row : rows) {
        const std::string target =
            std::string(row.base).replace(row.at, row.removed, noise(row.inserted, 2));
        std::string patch;
        ASSERT_EQ(patch_make(row.base, target, patch), "");
        EXPECT_LT(patch.size(), row.inserted + 1024) << row.at;
        const Applied applied = apply(row.base, patch, static_cast<uint32_t>(target.size()));
        EXPECT_TRUE(applied.outcome.ok()) << applied.outcome.text;
        EXPECT_TRUE(applied.out == target) << row.at;
    }
    EXPECT_EQ(patch_window_log(0, 0), 10);
    EXPECT_EQ(patch_window_log(16 << 20, 16 << 20), 25);
    EXPECT_EQ(patch_window_log(16 << 20, (16 << 20) + 1), 26);
    std::string patch;  // beyond the largest window: refused before a byte is read
    EXPECT_NE(patch_make(std::string_view(kBase.data(), size_t{1} << 31),
                         std::string_view(kBase.data(), 1), patch),
              "");
}

TEST(PatchCodec, RefusesHostilePatchesAndNeverHandsOnMoreThanTheTarget) {
    const std::string target = std::string(kBase).insert(5000, noise(8192, 3));
    const auto size = static_cast<uint32_t>(target.size());
    std::string patch;
    ASSERT_EQ(patch_make(kBase, target, patch), "");
    const struct {
        const char *name;
        std::string base, patch;
        uint32_t size;
        int64_t extra;
        size_t stop_at, most;
        PatchError error;
    } rows[] = {
        {"window", "", run_frame(0x50, 100), 100, 0, SIZE_MAX, 100, PatchError::kWindow},
        {"longer", "", run_frame(0, 100), 50, 0, SIZE_MAX, 50, PatchError::kTooLong},
        {"shorter", "", run_frame(0, 100), 200, 0, SIZE_MAX, 200, PatchError::kTooShort},
        {"header longer", kBase, patch, size - 1, 0, SIZE_MAX, 0, PatchError::kTooLong},
        {"header shorter", kBase, patch, size + 1, 0, SIZE_MAX, 0, PatchError::kTooShort},
        {"another base", noise(kBase.size(), 4), patch, size, 0, SIZE_MAX, size,
         PatchError::kCorrupt},
        {"cut", kBase, patch.substr(0, patch.size() - 9), size, 0, SIZE_MAX, size,
         PatchError::kMalformed},
        {"trailing", kBase, patch + "x", size, 0, SIZE_MAX, size, PatchError::kMalformed},
        {"not zstd", kBase, "a text that is no patch", size, 0, SIZE_MAX, 0,
         PatchError::kMalformed},
        {"skippable", kBase, std::string("\x50\x2a\x4d\x18\x01\0\0\0x", 9), size, 0, SIZE_MAX, 0,
         PatchError::kMalformed},
        {"short read", kBase, patch.substr(0, patch.size() - 9), size, 9, SIZE_MAX, size,
         PatchError::kRead},
        {"stopped", kBase, patch, size, 0, 1, size, PatchError::kStopped},
    };
    for (const auto &row : rows) {
        const Applied applied = apply(row.base, row.patch, row.size, row.extra, row.stop_at);
        EXPECT_EQ(applied.outcome.error, row.error) << row.name << ": " << applied.outcome.text;
        EXPECT_NE(applied.outcome.text, "") << row.name;
        EXPECT_LE(applied.out.size(), row.most) << row.name;
    }
}
