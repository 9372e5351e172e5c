// The signed patch index published beside the catalogue and its manifest
// (<catalogue>.delta): which patches the mirror serves, each from one
// version of a file (its base) to the version the manifest lists. Its
// record, the strict parser the updater runs on downloaded bytes, and the
// writer the publisher uses; the signature is checked by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "integrity/manifest.h"

// Far above a real index (a line is under 400 bytes), far below what a
// hostile mirror could make us hold: the fetch and the parser refuse more.
constexpr uint32_t kDeltaIndexSizeLimit = uint32_t{8} << 20;

struct DeltaPatch {
    std::string sitepath;     // the file it updates, as the manifest names it
    ManifestDigest base{};    // SHA-256 of the version it applies to
    ManifestDigest target{};  // SHA-256 of the version it gives
    int64_t size = 0;         // of the patch, 1 .. INT32_MAX
    ManifestDigest sha256{};  // of the patch
    std::string patch_sitepath;  // where the mirror serves it
};

struct DeltaIndex {
    int64_t serial = 0;  // the serial of the manifest it belongs to
    std::vector<DeltaPatch> patches;  // in the order published
    ManifestKeyId keyid{};
    ManifestSignature signature{};
    // The bytes the signature covers: everything before the signature line.
    size_t signed_length = 0;
};

// Parses a whole index. "" when it is well formed, otherwise a short reason
// ("line 3: expected 'patch ...'"). As strict as the manifest: exact line
// order, LF endings with a final LF, lower-case hex of the exact length,
// decimals without sign or leading zeros, printable names without spaces,
// no (sitepath, base) pair twice, nothing after the signature line, at most
// kDeltaIndexSizeLimit bytes.
std::string delta_index_parse(std::string_view text, DeltaIndex &index);

// The text before the signature line (keyid, signature and signed_length
// are not read); the signature line is manifest_signature_line's.
std::string delta_index_body(const DeltaIndex &index);

// The patch of `sitepath` from `base` to `target`, or null.
const DeltaPatch *delta_index_find(const DeltaIndex &index, std::string_view sitepath,
                                   const ManifestDigest &base, const ManifestDigest &target);
