// The publisher's side of the detached manifest (<catalogue>.sig): Ed25519
// keys read from PEM files, the signed text for a published tree, and the
// check of a published one. The text itself is integrity/manifest's.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "infofile/infofile.h"
#include "integrity/manifest.h"
#include "integrity/signing_keys.h"
#include "tools/publish_util.h"

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A manifest valid longer than this is a slip, not a choice: its expiry
// would no longer keep a frozen mirror from being served as current.
constexpr int kMaxValidDays = 3650;
constexpr int kDefaultValidDays = 7;

// Reads an unencrypted PEM Ed25519 private key; kExitOk, or the status of
// the reported failure.
int signing_key_load(const char *path, Pkey *key);
// The raw public half of a PEM Ed25519 public key; kExitOk or a failure.
int signing_public_key_load(const char *path, Ed25519PublicKey *key);
// Whether the key's public half is one this build's updater trusts.
bool signing_key_trusted(EVP_PKEY *key);

// BODY followed by its signature line made with KEY, checked with the
// public half; false when the key does not make valid signatures.
bool sign_text(EVP_PKEY *key, const std::string &body, std::string *text);

// The problems `verify` finds in one file, each reported on its own line as
// "qavopublish: PATH: problem"; the worst kind is the exit status.
struct Problems {
    std::string path;
    int status = 0;                                     // kExitOk
    int operator()(const std::string &what, int kind);  // returns the status so far
};
// Whether SIGNED_TEXT bears SIGNATURE by the key of KEYS named KEYID; a
// problem of WHAT ("manifest") is reported when not.
bool signature_good(const std::vector<Ed25519PublicKey> &keys, std::string_view signed_text,
                    const ManifestKeyId &keyid, const ManifestSignature &signature,
                    const std::string &what, Problems &problem);

// The signed manifest of the tree at ROOT, whose catalogue ROOT/CATALOGUE
// was loaded as INFO. Its serial follows that of the manifest at PREVIOUS
// (the one being replaced; ignored when absent or unreadable). kExitOk
// with the text and its record, or the status of the reported failure.
int manifest_sign(const std::string &root, const std::string &catalogue, const InfoRecord &info,
                  EVP_PKEY *key, const std::string &previous, int valid_days, std::string *text,
                  Manifest *signed_manifest);

// Checks CATALOGUE.sig against the catalogue at CATALOGUE, the files beside
// it and the keys (a manifest names its key; the first matching one is
// used), reporting every problem: kExitOk, kExitMismatch, or kExitError
// when something could not be read.
int manifest_verify(const std::string &catalogue, const std::vector<Ed25519PublicKey> &keys);
