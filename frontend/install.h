// Installation of verified copies, the updater's own replacement, and
// the restart into the new executable.
#pragma once

#include <string>

#include "core/context.h"
#include "frontend/run_state.h"

// The engine's installer for a run: placeholders from the state's
// configuration, installed names recorded in the state.
class FileInstaller : public Installer {
   public:
    explicit FileInstaller(RunState &state) : state_(state) {}
    bool expand_path(std::string &path) override;
    int install_file(InstallStep step, const std::string &tempfile, const std::string &localpath,
                     bool durable) override;

   private:
    RunState &state_;
    // The last directory the check found one the updater may add names to,
    // not asked again while the checks go on: the files of a directory are
    // checked one after the other.
    std::string addable_directory_;
};

// Makes the names installed so far durable (their directories synced):
// run when the update is over.
void install_finish(RunState &state);
int copy_file(const char *src, const char *dst);
int self_update_file(const char *src, const char *dst);
int restart_self(char **argv);
