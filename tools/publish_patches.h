// Patches between published versions of the mirror's files: the history
// folder (outside the served tree) that keeps the bytes of the versions
// published before, the patches made from them into the staging tree, the
// signed patch index beside the catalogue, and its check.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "integrity/manifest.h"
#include "integrity/signing_keys.h"

constexpr int kDefaultKeep = 7;
constexpr int kMaxKeep = 100;  // a history this deep would cost more than it saves

struct PatchOptions {
    std::string history;      // the history folder
    int keep = kDefaultKeep;  // older versions kept of each file
};

// What the patches of a build came to, and the history record that is kept
// once the new tree is in place.
struct PatchRun {
    // By sitepath: the version published now, then the kept older ones,
    // newest first.
    std::map<std::string, std::vector<ManifestDigest>> versions;
    size_t patches = 0;
    int64_t bytes = 0;
    size_t made = 0;    // by libzstd now, kept or not
    size_t reused = 0;  // taken from the history, made by an earlier build
};

// Keeps the versions MANIFEST lists in the history, writes into STAGING the
// patches from each kept older version to them, and the index
// STAGING/CATALOGUE.delta signed with KEY. kExitOk or the status of the
// reported failure; the history's record is left as it was.
int patches_stage(const PatchOptions &options, const Manifest &manifest, const std::string &staging,
                  const std::string &catalogue, EVP_PKEY *key, PatchRun *run);

// Records the versions of RUN in the history and deletes what no kept
// version needs any more; only warns when it cannot.
void patches_commit(const PatchOptions &options, const PatchRun &run);

// Checks CATALOGUE.delta, when there is one, against the signed MANIFEST it
// belongs to, the keys and the patches under ROOT, reporting every problem:
// kExitOk, kExitMismatch, or kExitError when something could not be read.
int patch_index_verify(const std::string &catalogue, const std::string &root,
                       const std::vector<Ed25519PublicKey> &keys, const Manifest &manifest);
