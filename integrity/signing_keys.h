// The Ed25519 public keys a build trusts for manifests, generated at
// configure time from the PEM files it was given (QAVO_SIGNING_KEYS); each
// executable links the table of its own build.
#pragma once

#include <array>
#include <cstdint>
#include <span>

using Ed25519PublicKey = std::array<uint8_t, 32>;

// The raw 32-byte keys, in the order configured; never empty.
std::span<const Ed25519PublicKey> trusted_signing_keys();
