// The records that join the front end to the engine and everything below
// it: the run's settings (where to fetch from, how patiently), whom to
// tell, and the front end's installation services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/io.h"

// The steps of installing a verified copy.
enum class InstallStep {
    kCheck,       // whether the installed file could be replaced
    kInstall,     // replace it
    kSelfUpdate,  // replace the updater's own executable
};

// The front end's services to the engine.
class Installer {
   public:
    virtual ~Installer() = default;
    // Expands the placeholders of an installation path in place; false when
    // one of them has no value.
    virtual bool expand_path(std::string &path) = 0;
    // 0, or -1 when the step failed. `durable`: the copy's data is known to
    // be on disk already.
    virtual int install_file(InstallStep step, const std::string &tempfile,
                             const std::string &localpath, bool durable) = 0;
};

// How requests to the proxy authenticate.
enum class ProxyAuth {
    kNone,
    kBasic,  // the user and password of the proxy URL
};

// What the front end settled for a run: read-only for the engine and
// everything below it.
struct EngineSettings {
    // The information file's URL at every configured mirror, in the order
    // they are tried; a run begins at the first.
    std::vector<std::string> mirror_urls;
    std::string temp_dir;
    std::vector<std::string> modules;  // the selected module names
    int32_t tries = 0;
    // Requests an HTTP connection may have outstanding (1: one at a time).
    int32_t pipeline = 1;
    // The configured proxy is used: the proxy URL (possibly empty).
    bool use_proxy = false;
    std::string proxy;
    ProxyAuth proxy_auth = ProxyAuth::kNone;
    // The CA certificates (PEM) trusted for https; empty: the system's store.
    std::string ca_file;
    // FTP data connections with PORT rather than PASV.
    bool ftp_active = false;
    // A detached manifest must vouch for the catalogue and its files.
    bool manifest_required = false;
    // Patches the mirror's index offers are fetched in place of whole files
    // (only with a manifest, which vouches for the index's targets).
    bool deltas = false;
    // Where the newest accepted manifest serial of each catalogue is kept,
    // and the catalogue's name there (the infofile option).
    std::string state_dir;
    std::string infofile;
};

// The updater's end of the network side, when the run has one.
class FetcherLink;

// One run's record: its settings, and what the run holds and hands down.
struct EngineContext {
    explicit EngineContext(const EngineSettings &settings) : settings(settings) {}
    const EngineSettings &settings;  // not owned; outlives the context
    Installer *installer = nullptr;  // not owned; required by engine_update
    // The state directory, opened once it checked out (-1: not had); the
    // state files are named from it. Not owned.
    int state_fd = -1;
    // The catalogue and its manifest are kept in state_dir after they
    // verify, and asked for again only if they changed (HTTP).
    bool keep_catalogue = false;
    // Requests an HTTP connection may have outstanding: the setting, until
    // a server shows that it cannot take them, then 1 for the rest of the run.
    int32_t pipeline = 1;
    // Every connection goes through this network side (not owned); null:
    // this process makes them.
    FetcherLink *fetcher = nullptr;
    // The network side broke off the run: nothing it brought is installed.
    bool network_broken = false;
    // The time-out, the watchdog, the listener, the stop flag and the last
    // error: what the floors below are handed.
    Io io;
};
