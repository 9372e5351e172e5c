// Patches against installed files. Once a run knows its downloads, and a
// manifest vouches for them, it asks the mirror for its signed patch index
// and fetches, for each download whose installed version the index has a
// patch from, that patch instead of the whole file. A patch never fails a
// run: whatever goes wrong with one, the whole file is fetched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/fetch.h"
#include "integrity/delta_index.h"
#include "integrity/manifest.h"
#include "support/patch_codec.h"

class PatchPlan {
   public:
    // The plan for the link's downloads: without a manifest, with patches
    // off, or when the mirror offers none, every download is fetched whole.
    PatchPlan(EngineLink &link, const Manifest *manifest);
    ~PatchPlan();
    PatchPlan(const PatchPlan &) = delete;
    PatchPlan &operator=(const PatchPlan &) = delete;

    // What is asked of the mirror for each download, in order: its patch,
    // or the download itself.
    std::span<FileRecord *const> fetches() const { return fetches_; }
    // Fetches download `i`: its patch, decoded and verified, or the whole
    // file when it has none or the patch fails. 0, or -1 on failure.
    int get(size_t i);

    uint32_t files_patched() const { return patched_; }
    int64_t bytes_saved() const { return saved_; }

   private:
    struct Planned;  // a download's patch and the installed version it is from
    class Base;      // the installed version being patched
    int patch(size_t i);
    void prepare_after(size_t i);

    EngineLink &link_;
    std::unique_ptr<DeltaIndex> index_;
    std::vector<std::unique_ptr<Planned>> planned_;  // by download; null: whole
    std::vector<FileRecord *> fetches_;
    std::unique_ptr<Base> base_;
    PatchDecoder decoder_;
    uint32_t patched_ = 0;
    int64_t saved_ = 0;
};
