// The history folder, the patches made from it and the patch index. The
// history holds files/<sha256> (the bytes of each kept version, trusted only
// when they still have the digest they are named by), patches/<base>-<target>
// (patches made before, .zst, or .none where none was worth serving) and
// the record `versions` of what each sitepath had, newest first.
#include "tools/publish_patches.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "integrity/delta_index.h"
#include "integrity/signed_text.h"
#include "support/crypto.h"
#include "support/descriptor.h"
#include "support/patch_codec.h"
#include "tools/mirror_desc.h"
#include "tools/publish_manifest.h"
#include "tools/publish_tree.h"
#include "tools/publish_util.h"

namespace {

constexpr std::string_view kRecordHeader = "qavo-history 1";
constexpr mode_t kServedMode = 0644;

std::string hex(const ManifestDigest &digest) {
    return manifest_hex(digest.data(), digest.size());
}

void warn(const std::string &message) {
    fprintf(stderr, "qavopublish: warning: %s\n", message.c_str());
}

// Writes DATA to PATH under a temporary name, renamed when whole.
int put_file(const std::string &path, std::string_view data) {
    Output out;
    if (out.open(path, kServedMode) < 0 || fchmod(fileno(out.stream), kServedMode) < 0 ||
        fwrite(data.data(), 1, data.size(), out.stream) != data.size() || out.commit() < 0)
        return fail(system_error("cannot write", path));
    return kExitOk;
}

int make_dir(const std::string &path) {
    if (mkdir(path.c_str(), kDirMode) < 0 && errno != EEXIST)
        return fail(system_error("cannot create", path));
    return kExitOk;
}

// The record of the last publication; empty when there is none (the first
// one with a history) or it does not read.
std::map<std::string, std::vector<ManifestDigest>> read_record(const std::string &history) {
    std::map<std::string, std::vector<ManifestDigest>> record;
    const std::string path = history + "/versions";
    std::string text;
    if (!read_whole(path, &text)) {
        if (errno != ENOENT) warn(system_error("cannot read", path) + "; no patches this time");
        return record;
    }
    LineReader reader(text);
    std::string_view line, sitepath, word;
    bool good = reader.line(line) && line == kRecordHeader;
    while (good && !reader.at_end()) {
        good = reader.line(line) && next_word(line, sitepath);
        std::vector<ManifestDigest> &versions = record[std::string(sitepath)];
        while (good && !line.empty()) {
            if (!next_word(line, word)) word = std::exchange(line, std::string_view());
            good = read_hex(word, versions.emplace_back());
        }
    }
    if (!good) {
        warn(path + " does not read as a history record; no patches this time");
        record.clear();
    }
    return record;
}

// The kept version named DIGEST, checked against its name; a bad one is
// deleted.
bool kept_version(const std::string &history, const ManifestDigest &digest, std::string *data) {
    const std::string path = history + "/files/" + hex(digest);
    ManifestDigest actual;
    data->clear();
    if (!read_whole(path, data)) return false;
    if (sha256_of(*data, actual) && actual == digest) return true;
    warn(path + " does not hold the version it is named by; deleted");
    unlink(path.c_str());
    return false;
}

// Keeps DATA, whose digest is DIGEST, in the history unless it is there.
int keep_version(const std::string &history, const ManifestDigest &digest,
                 const std::string &data) {
    std::string kept;
    if (kept_version(history, digest, &kept)) return kExitOk;
    return put_file(history + "/files/" + hex(digest), data);
}

// Whether the patch at PATH gives the target from BASE; it is then read
// into *PATCH.
bool patch_gives(const std::string &path, const std::string &base, const ManifestFile &target,
                 std::string *patch) {
    const Descriptor in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (in.fd < 0 || fstat(in.fd, &info) < 0) return false;
    Sha256 digest;
    const PatchOutcome outcome =
        patch_apply(base, in.fd, info.st_size, static_cast<uint32_t>(target.size),
                    [&](const uint8_t *data, size_t size) { return digest.update(data, size); });
    ManifestDigest given;
    patch->clear();
    return outcome.ok() && digest.finish(given) && given == target.sha256 &&
           read_whole(path, patch);
}

// The patch from BASE to TARGET, from the history or made there; empty when
// it would not be under half the target's size.
int patch_for(const std::string &history, const std::string &base,
              const ManifestDigest &base_digest, const std::string &data,
              const ManifestFile &target, std::string *patch, PatchRun *run) {
    const std::string stem = history + "/patches/" + hex(base_digest) + "-" + hex(target.sha256);
    patch->clear();
    if (access((stem + ".none").c_str(), F_OK) == 0) return kExitOk;
    if (access((stem + ".zst").c_str(), F_OK) == 0) {
        if (patch_gives(stem + ".zst", base, target, patch)) {
            run->reused++;
            return kExitOk;
        }
        warn(stem + ".zst does not give its target; made again");
        unlink((stem + ".zst").c_str());
    }
    if (const std::string error = patch_make(base, data, *patch); !error.empty())
        return fail("cannot make a patch of " + target.sitepath + ": " + error);
    run->made++;
    if (patch->size() * 2 >= data.size()) {
        patch->clear();
        return put_file(stem + ".none", "");
    }
    if (int status = put_file(stem + ".zst", *patch); status != kExitOk) return status;
    if (!patch_gives(stem + ".zst", base, target, patch))
        return fail("the patch made for " + target.sitepath +
                    " does not give the file (a bug of qavopublish)");
    return kExitOk;
}

// Deletes the entries of DIR that NEEDED does not hold.
void prune(const std::string &dir, const std::set<std::string> &needed) {
    DIR *listing = opendir(dir.c_str());
    if (listing == nullptr) return warn(system_error("cannot read", dir));
    while (const struct dirent *entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || needed.count(name) != 0) continue;
        if (unlink((dir + "/" + name).c_str()) < 0)
            warn(system_error("cannot delete", dir + "/" + name));
    }
    closedir(listing);
}

}  // namespace

int patches_stage(const PatchOptions &options, const Manifest &manifest, const std::string &staging,
                  const std::string &catalogue, EVP_PKEY *key, PatchRun *run) {
    const std::string &history = options.history;
    for (const std::string &dir : {history, history + "/files", history + "/patches"}) {
        if (int status = make_dir(dir); status != kExitOk) return status;
    }
    if (const std::string why = zstd_unavailable(); !why.empty())
        return fail("patches need libzstd: " + why);
    const auto record = read_record(history);
    DeltaIndex index;
    index.serial = manifest.serial;
    std::set<std::string> names;
    for (const ManifestFile &file : manifest.files) {
        std::vector<ManifestDigest> &kept = run->versions[file.sitepath];
        kept.push_back(file.sha256);
        std::string data, base, patch;
        if (!read_whole(staging + "/" + file.sitepath, &data))
            return fail(system_error("cannot read", staging + "/" + file.sitepath));
        if (int status = keep_version(history, file.sha256, data); status != kExitOk) return status;
        const auto older = record.find(file.sitepath);
        if (older == record.end()) continue;
        for (const ManifestDigest &version : older->second) {
            if (kept.size() > static_cast<size_t>(options.keep)) break;
            if (std::find(kept.begin(), kept.end(), version) != kept.end() ||
                !kept_version(history, version, &base))
                continue;
            kept.push_back(version);
            if (int status = patch_for(history, base, version, data, file, &patch, run);
                status != kExitOk)
                return status;
            if (patch.empty()) continue;
            DeltaPatch &entry = index.patches.emplace_back();
            entry.sitepath = file.sitepath;
            entry.base = version;
            entry.target = file.sha256;
            entry.size = static_cast<int64_t>(patch.size());
            entry.patch_sitepath = std::string(kPatchFolder) + "/" + file.sitepath + "/" +
                                   hex(version).substr(0, 16) + "-" +
                                   hex(file.sha256).substr(0, 16) + ".zst";
            if (!names.insert(entry.patch_sitepath).second)
                return fail("two patches of " + file.sitepath + " would be named " +
                            entry.patch_sitepath + "; publish again with --keep 1");
            if (!sha256_of(patch, entry.sha256))
                return fail("cannot compute SHA-256 digests: " + crypto_unavailable());
            if (make_parents(staging, entry.patch_sitepath) < 0)
                return fail(system_error("cannot create the directories of",
                                         staging + "/" + entry.patch_sitepath));
            if (int status = put_file(staging + "/" + entry.patch_sitepath, patch);
                status != kExitOk)
                return status;
            run->patches++;
            run->bytes += entry.size;
        }
    }
    std::string text;
    DeltaIndex back;
    if (!sign_text(key, delta_index_body(index), &text))
        return fail("the Ed25519 key does not produce valid patch index signatures");
    if (!delta_index_parse(text, back).empty())
        return fail("the patch index written does not parse (a bug of qavopublish)");
    return put_file(staging + "/" + catalogue + kDeltaSuffix, text);
}

void patches_commit(const PatchOptions &options, const PatchRun &run) {
    std::string text = std::string(kRecordHeader) + "\n";
    std::set<std::string> files, patches;
    for (const auto &[sitepath, versions] : run.versions) {
        text += sitepath;
        for (const ManifestDigest &version : versions) {
            text += " " + hex(version);
            files.insert(hex(version));
            const std::string stem = hex(version) + "-" + hex(versions.front());
            patches.insert(stem + ".zst");
            patches.insert(stem + ".none");
        }
        text += "\n";
    }
    // The record first: a version it no longer names is not needed even
    // when the deletion below stops half-way.
    if (put_file(options.history + "/versions", text) != kExitOk) return;
    prune(options.history + "/files", files);
    prune(options.history + "/patches", patches);
}

int patch_index_verify(const std::string &catalogue, const std::string &root,
                       const std::vector<Ed25519PublicKey> &keys, const Manifest &manifest) {
    const std::string path = catalogue + kDeltaSuffix;
    if (access(path.c_str(), F_OK) < 0 && errno == ENOENT) return kExitOk;
    Problems problem{path};
    int &status = problem.status;
    std::string text;
    if (!read_whole(path, &text)) return fail(system_error("cannot read", path));
    DeltaIndex index;
    const std::string malformed = delta_index_parse(text, index);
    if (!malformed.empty())
        return problem("malformed patch index (" + malformed + ")", kExitMismatch);
    if (!signature_good(keys, std::string_view(text).substr(0, index.signed_length), index.keyid,
                        index.signature, "patch index", problem))
        return status;
    if (index.serial != manifest.serial)
        problem("serial " + std::to_string(index.serial) + " is not the manifest's " +
                    std::to_string(manifest.serial),
                kExitMismatch);
    std::unordered_map<std::string_view, const ManifestFile *> listed;
    for (const ManifestFile &file : manifest.files) listed.emplace(file.sitepath, &file);
    for (const DeltaPatch &patch : index.patches) {
        const auto found = listed.find(patch.sitepath);
        std::string data;
        ManifestDigest actual;
        if (found == listed.end() || found->second->sha256 != patch.target) {
            problem("patch " + patch.patch_sitepath + " does not give the version of " +
                        patch.sitepath + " the manifest lists",
                    kExitMismatch);
        } else if (patch.patch_sitepath.front() == '/' ||
                   patch.patch_sitepath.find("..") != std::string::npos) {
            problem("patch " + patch.patch_sitepath + " lies outside the mirror", kExitMismatch);
        } else if (!read_whole(root + "/" + patch.patch_sitepath, &data)) {
            problem(system_error("cannot read", root + "/" + patch.patch_sitepath), kExitError);
        } else if (static_cast<int64_t>(data.size()) != patch.size || !sha256_of(data, actual) ||
                   actual != patch.sha256) {
            problem(patch.patch_sitepath + " does not match its entry", kExitMismatch);
        }
    }
    if (status == kExitOk)
        printf("%s: patch index verified (serial %lld, %zu patches)\n", path.c_str(),
               static_cast<long long>(index.serial), index.patches.size());
    return status;
}
