// The run's own count of what it did, kept in front of the caller's
// listener: what is counted does not depend on who listens or how much
// the listener prints.
#pragma once

#include <cstdint>

#include "core/events.h"

class Tally : public ForwardEvents {
   public:
    explicit Tally(Events &listener) : ForwardEvents(listener) {}

    uint32_t files_to_update = 0;  // found out of date
    uint32_t files_updated = 0;
    uint32_t modules_installed = 0;
    // The listed size of every transfer that came to its end.
    int64_t bytes_downloaded = 0;

    void needs_update(const FileEvent &file) override {
        files_to_update++;
        listener_.needs_update(file);
    }
    void update_file(const FileEvent &file) override {
        files_updated++;
        listener_.update_file(file);
    }
    void install_module(const char *name) override {
        modules_installed++;
        listener_.install_module(name);
    }
    // A transfer starts with the event that names its file, or with one
    // at its first byte.
    void progress(const FileEvent &file) override {
        if (file.name != nullptr || file.done == 0) size_ = file.size;
        listener_.progress(file);
    }
    void transfer_done() override {
        bytes_downloaded += size_;
        listener_.transfer_done();
    }

   private:
    int32_t size_ = 0;  // of the transfer under way
};
