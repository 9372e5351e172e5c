// The detached manifest's part of a run: checked when fetched, before the
// catalogue; then held against the catalogue as served and against every
// file the catalogue lists; the rollback serial raised as soon as it is accepted.
#pragma once

#include <memory>

#include "core/context.h"
#include "core/records.h"
#include "integrity/manifest.h"
#include "integrity/signing_keys.h"

// The key of this build that a manifest (or a patch index) names, or null.
const Ed25519PublicKey *manifest_signing_key(const ManifestKeyId &keyid);
// Reads and checks the fetched manifest copy: well formed, signed by a
// trusted key, not expired, not older than the rollback serial. Null after recording
// the refusal.
std::unique_ptr<Manifest> manifest_accept(EngineContext *context, FileRecord &copy);
// Records that the manifest could not be fetched (or was larger than its
// limit, where its fetch stopped); -1.
int manifest_missing(EngineContext *context, const FileRecord &copy);
// Whether the catalogue's copy, exactly as served, has the manifest's
// digest: 0, or -1 after recording the refusal.
int manifest_check_catalogue(EngineContext *context, const Manifest &manifest, FileRecord &packed);
// Gives every file of the catalogue its manifest digest: 0, or -1 after
// recording the first file the manifest does not vouch for.
int manifest_bind_files(EngineContext *context, const Manifest &manifest, InfoRecord &info);
// Records that a download does not have its manifest's SHA-256 or size;
// -1.
int manifest_refuse_file(EngineContext *context, const FileRecord &file);
// Raises the rollback serial to the accepted manifest's serial: 0, or -1 after
// recording why the state could not be kept.
int manifest_raise_serial(EngineContext *context, const Manifest &manifest);
