// What a plugin session writes a file into: the engine's temporary copy in
// this process, or, on the network side, the updater's copy at the other
// end of the fetcher's channel. Sessions never learn which.
#pragma once

#include <cstdint>
#include <string>

#include "core/context.h"
#include "core/records.h"
#include "support/data_io.h"
#include "support/received.h"
#include "support/sys_error.h"
#include "support/temp_copy.h"

class CopyTarget {
   public:
    virtual ~CopyTarget() = default;
    // As TempCopy::open: 1 when a copy was there, 0 when created, -1 with
    // the failure kept for report().
    virtual int open(FileRecord &file, CopyUse use) = 0;
    virtual int report() const = 0;
    virtual SysError error() const = 0;
    virtual bool is_open() const = 0;
    virtual uint32_t held() const = 0;
    virtual int truncate() = 0;
    virtual int rewind() = 0;
    // As TempCopy::receive.
    virtual CopyOutcome receive(int from, uint32_t &remaining, Reader reader,
                                Received *ahead = nullptr) = 0;
    // The validators kept with the copy of `kept.key` that an earlier run
    // kept; false when there is none.
    virtual bool find_kept(KeptCopy &kept) = 0;
    // Fills the copy from the one kept under `key`: 0, or -1 when it is
    // gone or the copy could not take it.
    virtual int fill_kept(const std::string &key) = 0;
};

// The engine's own temporary copy, in this process.
class LocalCopy final : public CopyTarget {
   public:
    LocalCopy(EngineContext *context, TempCopy &copy) : context_(context), copy_(copy) {}
    int open(FileRecord &file, CopyUse use) override { return copy_.open(context_->io, file, use); }
    int report() const override { return copy_.report(); }
    SysError error() const override { return copy_.error(); }
    bool is_open() const override { return copy_.fd() >= 0; }
    uint32_t held() const override { return copy_.held(); }
    int truncate() override { return copy_.truncate(); }
    int rewind() override { return copy_.rewind(); }
    CopyOutcome receive(int from, uint32_t &remaining, Reader reader, Received *ahead) override {
        return copy_.receive(from, remaining, reader, ahead);
    }
    bool find_kept(KeptCopy &kept) override;
    int fill_kept(const std::string &key) override;

   private:
    EngineContext *context_;  // not owned
    TempCopy &copy_;
};
