// The mirror description that `qavopublish build` reads: a line-based list
// of the catalogue's name, the kit, the updater's entry and the modules with
// their dependencies and files (format: docs/mirror.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DescFile {
    std::string sitepath;   // path in the mirror; empty: never fetched
    std::string localpath;  // installation path; empty: never installed
    std::string source;     // file to publish, relative to the description
    bool sign = false;      // published with a signature instead of a digest
    int32_t order = 0;      // -n for "pre n", n for "post n"
    int line = 0;
};

struct DescModule {
    std::string name;
    std::vector<std::string> requires_;  // in the order written
    std::vector<std::string> needs;
    std::vector<DescFile> files;
    int line = 0;
};

struct MirrorDesc {
    std::string path;  // of the description itself, for messages
    std::string base;  // directory that sources are relative to
    std::string catalogue = "qavoe.info";
    std::string kit_name;
    bool has_kit_name = false;
    bool has_update = false;
    DescFile update;
    std::vector<DescModule> modules;
};

constexpr const char *kMirrorMarker = ".qavopublish-mirror";
// The manifest lies beside the catalogue, under its name plus this.
constexpr const char *kManifestSuffix = ".sig";
// The patch index lies beside it too, under the catalogue's name plus this,
// and the patches in this folder of the mirror.
constexpr const char *kDeltaSuffix = ".delta";
constexpr const char *kPatchFolder = "patches";
constexpr int32_t kMaxProgramOrder = 1000000;

// Reads and checks the description; 0, or -1 with "PATH:LINE: problem" in
// *error.
int mirror_desc_load(const char *path, MirrorDesc *desc, std::string *error);
// Every require and needs name must name a module of the description, and
// no module may depend on itself through require and needs together.
int mirror_desc_check_dependencies(const MirrorDesc &desc, std::string *error);
