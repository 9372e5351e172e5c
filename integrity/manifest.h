// The detached manifest published beside the catalogue (<catalogue>.sig):
// its record, the strict parser the updater runs on downloaded bytes, and
// the writer the publisher uses. Digests and signatures are checked by the
// caller with libcrypto; this file only reads and writes the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t kManifestDigestSize = 32;     // SHA-256
constexpr size_t kManifestKeyIdSize = 8;       // 16 hex digits
constexpr size_t kManifestSignatureSize = 64;  // Ed25519
// Far above any real manifest (a file line is under 200 bytes), far below
// what a hostile mirror could make us hold: the fetch and the parser both
// refuse more.
constexpr uint32_t kManifestSizeLimit = uint32_t{8} << 20;

using ManifestDigest = std::array<uint8_t, kManifestDigestSize>;
using ManifestKeyId = std::array<uint8_t, kManifestKeyIdSize>;
using ManifestSignature = std::array<uint8_t, kManifestSignatureSize>;

struct ManifestFile {
    ManifestDigest sha256{};
    int64_t size = 0;      // 0 .. INT32_MAX, as the catalogue's sizes
    std::string sitepath;  // as the catalogue writes it
};

struct Manifest {
    int64_t serial = 0;   // publication time, seconds since 1970
    int64_t expires = 0;  // seconds since 1970; expired at or before now
    ManifestDigest catalogue{};
    std::vector<ManifestFile> files;  // in the catalogue's order
    ManifestKeyId keyid{};
    ManifestSignature signature{};
    // The bytes the signature covers: everything before the signature line.
    size_t signed_length = 0;
};

// Parses a whole manifest. "" when it is well formed, otherwise a short
// reason (for example "line 3: expected 'expires <decimal>'"). Strict: the
// exact line order, LF endings with a final LF, lower-case hex of exactly
// the right length, decimals without sign or leading zeros that fit,
// no sitepath twice, nothing after the signature line, at most
// kManifestSizeLimit bytes.
std::string manifest_parse(std::string_view text, Manifest &manifest);

// The text before the signature line, from serial, expires, catalogue and
// files (keyid, signature and signed_length are not read).
std::string manifest_body(const Manifest &manifest);
// "signature ed25519 <keyid> <signature>\n".
std::string manifest_signature_line(const ManifestKeyId &keyid, const ManifestSignature &signature);

// Lower-case hex of the bytes.
std::string manifest_hex(const uint8_t *bytes, size_t size);
