// `qavopublish build`: copies the described files into a fresh mirror tree,
// signs those listed without digest, writes the catalogue, compresses and
// signs it, checks that the updater's own loader reads it back as
// described, signs the manifest beside it when given an Ed25519 key, and
// only then puts the tree in place of the old mirror.
#include "tools/publish_build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/io.h"
#include "infofile/infofile.h"
#include "integrity/lzss.h"
#include "integrity/md5.h"
#include "integrity/rsa.h"
#include "support/descriptor.h"
#include "tools/mirror_desc.h"
#include "tools/previous_listing.h"
#include "tools/publish_manifest.h"
#include "tools/publish_patches.h"
#include "tools/publish_tree.h"
#include "tools/publish_util.h"

namespace {

constexpr mode_t kFileMode = 0644;
constexpr size_t kCopyBuffer = 65536;

// What the catalogue lists for one published entry.
struct Listing {
    int32_t size = 0;
    int32_t time = 0;
    uint8_t md5[kMd5DigestSize] = {};
};

std::string where(const MirrorDesc &desc, int line) {
    return desc.path + ":" + std::to_string(line) + ": ";
}

// A new file of the tree, written through a stream; the creation is
// exclusive, since every tree path is published once.
struct NewFile {
    FILE *stream = nullptr;
    ~NewFile() {
        if (stream != nullptr) fclose(stream);
    }

    int create(const std::string &path) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
        if (fd < 0) return -1;
        if (fchmod(fd, kFileMode) < 0 || (stream = fdopen(fd, "wb")) == nullptr) {
            close(fd);
            return -1;
        }
        return 0;
    }

    int write(const void *data, size_t length) {
        return fwrite(data, 1, length, stream) == length ? 0 : -1;
    }

    // Flushes, sets the times when given, and syncs.
    int finish(const struct timespec *times) {
        int result = fflush(stream) == 0 ? 0 : -1;
        if (result == 0 && times != nullptr && futimens(fileno(stream), times) < 0) result = -1;
        if (result == 0 && fsync(fileno(stream)) < 0) result = -1;
        if (fclose(stream) != 0) result = -1;
        stream = nullptr;
        return result;
    }
};

// Copies one source into the tree, digesting it on the way; a signed entry
// gets its signature block appended and no digest in the catalogue.
int publish_file(const MirrorDesc &desc, const DescFile &file, const std::string &root,
                 const KeyFile *key, const PreviousListing &previous, int32_t publication,
                 Listing *listing) {
    const std::string source =
        file.source.front() == '/' ? file.source : desc.base + "/" + file.source;
    const std::string at = where(desc, file.line);
    Descriptor in{open(source.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat info;
    if (in.fd < 0 || fstat(in.fd, &info) < 0) return fail(at + system_error("cannot open", source));
    if (!S_ISREG(info.st_mode)) return fail(at + source + " is not a regular file");
    const int64_t published = info.st_size + (file.sign ? kRsaSignatureSize : 0);
    if (published > INT32_MAX) return fail(at + source + " is too large for the catalogue");
    if (info.st_mtime < 0 || info.st_mtime > INT32_MAX) {
        return fail(at + source + " has a modification time the catalogue cannot hold");
    }

    const std::string target = root + "/" + file.sitepath;
    if (make_parents(root, file.sitepath) < 0) {
        return fail(at + system_error("cannot create the directories of", target));
    }
    NewFile out;
    if (out.create(target) < 0) {
        return fail(at + system_error("cannot create", target));
    }
    Md5Context context;
    md5_init(&context);
    static uint8_t buffer[kCopyBuffer];
    int64_t copied = 0;
    for (;;) {
        const ssize_t n = read(in.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(at + system_error("cannot read", source));
        if (n == 0) break;
        md5_update(&context, buffer, static_cast<uint32_t>(n));
        if (out.write(buffer, static_cast<size_t>(n)) < 0) {
            return fail(at + system_error("cannot write", target));
        }
        copied += n;
    }
    uint8_t digest[kMd5DigestSize];
    md5_final(digest, &context);
    if (copied != info.st_size) return fail(at + source + " changed while it was published");
    if (file.sign) {
        uint8_t signature[kRsaSignatureSize];
        if (sign_digest(key, digest, signature) < 0) {
            return fail("the key does not produce valid signatures");
        }
        if (out.write(signature, sizeof signature) < 0) {
            return fail(at + system_error("cannot write", target));
        }
    } else {
        memcpy(listing->md5, digest, sizeof digest);
    }
    if (out.finish(nullptr) < 0) {
        return fail(at + system_error("cannot finish", target));
    }
    listing->size = static_cast<int32_t>(published);
    listing->time = previous_listing_time(previous, file.sitepath, target,
                                          static_cast<int32_t>(info.st_mtime), publication);
    // The mirror copy carries the listed time, so servers report the same.
    const struct timespec times[2] = {{listing->time, 0}, {listing->time, 0}};
    if (utimensat(AT_FDCWD, target.c_str(), times, 0) < 0) {
        return fail(at + system_error("cannot set the times of", target));
    }
    return kExitOk;
}

// The characters the catalogue takes in a bare word; everything else, and
// words that the loader would take for a keyword, are written quoted.
bool is_bare_char(unsigned char c) {
    return c > 0x20 && c < 0x7f && c != ',' && c != '<' && c != '=' && c != '>' && c != '[' &&
           c != ']' && c != '|';
}

constexpr std::string_view kKeywords[] = {"name", "require", "needs", "sitepath", "localpath",
                                          "md5",  "size",    "time",  "exec"};

std::string value(const std::string &text) {
    bool bare = !text.empty() && text.front() != '"';
    for (unsigned char c : text) bare = bare && is_bare_char(c);
    for (std::string_view keyword : kKeywords) {
        bare = bare && strcasecmp(text.c_str(), std::string(keyword).c_str()) != 0;
    }
    return bare ? text : "\"" + text + "\"";
}

std::string file_properties(const DescFile &file, const Listing &listing) {
    std::string line =
        "sitepath = " + value(file.sitepath) + " localpath = " + value(file.localpath);
    if (!file.sitepath.empty()) {
        line +=
            " size = " + std::to_string(listing.size) + " time = " + std::to_string(listing.time);
        if (!file.sign) {
            char hex[kMd5HexSize];
            md5_hex(hex, listing.md5);
            line += std::string(" md5 = ") + hex;
        }
    }
    if (file.order < 0) line += " exec = pre " + std::to_string(-file.order);
    if (file.order > 0) line += " exec = post " + std::to_string(file.order);
    return line;
}

// The loader reverses name lists, so they are written backwards to be
// walked in the order the description gives.
std::string names(const char *key, const std::vector<std::string> &list) {
    if (list.empty()) return "";
    std::string text = std::string(" ") + key + " =";
    for (auto it = list.rbegin(); it != list.rend(); ++it) text += " " + value(*it);
    return text;
}

struct Published {
    Listing update;
    std::vector<std::vector<Listing>> modules;
};

std::string catalogue_text(const MirrorDesc &desc, const Published &published) {
    std::string text = "<!-- mirror catalogue written by qavopublish build -->\n<update> ";
    if (desc.has_update) {
        text += file_properties(desc.update, published.update);
    } else {
        // No entry for the updater: an empty installation path makes it skip
        // the self-update step.
        text += "sitepath = \"\" localpath = \"\"";
    }
    text += " </update>\n<kit>";
    if (desc.has_kit_name) text += " name = " + value(desc.kit_name);
    text += "\n";
    for (size_t m = 0; m < desc.modules.size(); m++) {
        const DescModule &module = desc.modules[m];
        text += "<module> name = " + value(module.name) + names("require", module.requires_) +
                names("needs", module.needs) + "\n";
        for (size_t f = 0; f < module.files.size(); f++) {
            text += "<file> " + file_properties(module.files[f], published.modules[m][f]) +
                    " </file>\n";
        }
        text += "</module>\n";
    }
    text += "</kit>\n";
    return text;
}

bool same_file(const FileRecord *record, const DescFile &file, const Listing &listing) {
    return record != nullptr && record->sitepath && record->localpath &&
           file.sitepath == *record->sitepath && file.localpath == *record->localpath &&
           (file.sitepath.empty() ||
            (record->size == listing.size && record->time == listing.time &&
             memcmp(record->md5, listing.md5, kMd5DigestSize) == 0)) &&
           record->order == file.order;
}

// Loads the catalogue text with the updater's own loader and compares every
// record with the description: a quoting slip shows up here, not on the
// users' machines. The records loaded are handed back in *LOADED.
int check_catalogue(const MirrorDesc &desc, const Published &published, const std::string &path,
                    std::unique_ptr<InfoRecord> *loaded) {
    Io io;
    std::unique_ptr<InfoRecord> &info = *loaded;
    info = update_get_information(io, path);
    if (info == nullptr) return fail("the catalogue written does not parse (a bug of qavopublish)");
    bool good = info->update_file != nullptr && info->kit != nullptr;
    if (good && desc.has_update)
        good = same_file(info->update_file.get(), desc.update, published.update);
    good = good && info->kit->modules.size() == desc.modules.size();
    for (size_t m = 0; good && m < desc.modules.size(); m++) {
        const DescModule &module = desc.modules[m];
        const ModuleRecord &record = *info->kit->modules[m];
        good = record.name && module.name == *record.name && record.requires_ == module.requires_ &&
               record.needs == module.needs && record.files.size() == module.files.size();
        for (size_t f = 0; good && f < record.files.size(); f++)
            good = same_file(record.files[f].get(), module.files[f], published.modules[m][f]);
    }
    if (!good) return fail("the catalogue written reads back differently (a bug of qavopublish)");
    return kExitOk;
}

int write_whole(const std::string &path, const void *data, size_t length) {
    NewFile out;
    if (out.create(path) < 0 || out.write(data, length) < 0 || out.finish(nullptr) < 0) {
        return fail(system_error("cannot write", path));
    }
    return kExitOk;
}

// Compresses and signs the catalogue text into ROOT/CATALOGUE.
int write_catalogue(const MirrorDesc &desc, const std::string &text, const std::string &root,
                    const KeyFile *key, size_t *written) {
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    char *packed = nullptr;
    size_t packed_size = 0;
    FILE *out = open_memstream(&packed, &packed_size);
    int encoded = in != nullptr && out != nullptr ? lzss_encode(in, out) : -1;
    if (in != nullptr) fclose(in);
    if (out != nullptr && fclose(out) != 0) encoded = -1;
    std::string payload;
    if (encoded == 0 && packed != nullptr) payload.assign(packed, packed_size);
    free(packed);
    if (encoded != 0) return fail("cannot compress the catalogue");

    uint8_t digest[kMd5DigestSize];
    md5_of(payload, digest);
    uint8_t signature[kRsaSignatureSize];
    if (sign_digest(key, digest, signature) < 0) {
        return fail("the key does not produce valid signatures");
    }
    payload.append(reinterpret_cast<const char *>(signature), sizeof signature);
    const std::string path = root + "/" + desc.catalogue;
    if (int status = write_whole(path, payload.data(), payload.size()); status != kExitOk) {
        return status;
    }
    if (rsa_verify_file(&key->key, path.c_str()) != 0) {
        return fail("the signed catalogue does not verify (a bug of qavopublish)");
    }
    if (rsa_verify_file(rsa_public_key, path.c_str()) != 0) {
        fprintf(stderr,
                "qavopublish: warning: this key is not the one built into this updater; "
                "only updaters built with its public half will accept the mirror\n");
    }
    *written = payload.size();
    return kExitOk;
}

// What a build signs with: the catalogue's RSA key, and the Ed25519 key of
// the manifest (null: no manifest).
struct BuildKeys {
    const KeyFile *key = nullptr;
    EVP_PKEY *signing_key = nullptr;
    int valid_days = kDefaultValidDays;
};

// Signs the manifest of the staged tree into STAGING/CATALOGUE.sig, its
// serial following the one of the mirror it replaces.
int write_manifest(const MirrorDesc &desc, const BuildKeys &keys, const InfoRecord &info,
                   const std::string &staging, const std::string &target, Manifest *manifest) {
    const std::string name = desc.catalogue + kManifestSuffix;
    std::string text;
    if (int status = manifest_sign(staging, desc.catalogue, info, keys.signing_key,
                                   target + "/" + name, keys.valid_days, &text, manifest);
        status != kExitOk) {
        return status;
    }
    if (!signing_key_trusted(keys.signing_key)) {
        fprintf(stderr,
                "qavopublish: warning: this Ed25519 key is not one this updater trusts; only "
                "updaters built with its public half will accept the manifest\n");
    }
    return write_whole(staging + "/" + name, text.data(), text.size());
}

int build(const MirrorDesc &desc, const BuildKeys &keys, PatchOptions patches, std::string target) {
    const KeyFile *key = keys.key;
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    // Beside the release files, never in the tree a server may serve.
    if (patches.history.empty()) patches.history = desc.path + ".history";
    bool exists = false;
    if (int status = check_target(target, &exists); status != kExitOk) return status;
    const int32_t publication = static_cast<int32_t>(wall_seconds());
    PreviousListing previous;
    if (exists) previous_listing_load(target, desc.catalogue, key, &previous);

    Staging staging;
    staging.path = target + ".tmp-XXXXXX";
    if (mkdtemp(staging.path.data()) == nullptr) {
        const std::string failed = staging.path;
        staging.path.clear();
        return fail(system_error("cannot create", failed));
    }
    Published published;
    size_t files = 0;
    if (desc.has_update) {
        if (int status = publish_file(desc, desc.update, staging.path, key, previous, publication,
                                      &published.update);
            status != kExitOk) {
            return status;
        }
        files++;
    }
    for (const DescModule &module : desc.modules) {
        published.modules.emplace_back(module.files.size());
        for (size_t f = 0; f < module.files.size(); f++) {
            if (module.files[f].sitepath.empty()) continue;
            if (int status = publish_file(desc, module.files[f], staging.path, key, previous,
                                          publication, &published.modules.back()[f]);
                status != kExitOk) {
                return status;
            }
            files++;
        }
    }

    const std::string text = catalogue_text(desc, published);
    const std::string plain = staging.path + "/" + kMirrorMarker;
    // The plain text sits under the marker's name just long enough to be
    // read back; the marker then replaces it.
    if (int status = write_whole(plain, text.data(), text.size()); status != kExitOk) {
        return status;
    }
    std::unique_ptr<InfoRecord> info;
    if (int status = check_catalogue(desc, published, plain, &info); status != kExitOk) {
        return status;
    }
    unlink(plain.c_str());
    size_t catalogue_size = 0;
    if (int status = write_catalogue(desc, text, staging.path, key, &catalogue_size);
        status != kExitOk) {
        return status;
    }
    PatchRun patched;
    if (keys.signing_key != nullptr) {
        Manifest manifest;
        if (int status = write_manifest(desc, keys, *info, staging.path, target, &manifest);
            status != kExitOk) {
            return status;
        }
        if (int status = patches_stage(patches, manifest, staging.path, desc.catalogue,
                                       keys.signing_key, &patched);
            status != kExitOk) {
            return status;
        }
    }
    const std::string marker = "mirror published by qavopublish build\n";
    if (int status = write_whole(plain, marker.data(), marker.size()); status != kExitOk) {
        return status;
    }
    if (int status = install_tree(&staging, target, exists); status != kExitOk) return status;
    if (keys.signing_key != nullptr) patches_commit(patches, patched);
    printf("published %s: %zu modules, %zu files, catalogue %s/%s (%zu bytes)\n", target.c_str(),
           desc.modules.size(), files, target.c_str(), desc.catalogue.c_str(), catalogue_size);
    if (patched.patches > 0)
        printf("patches: %zu (%lld bytes) from older versions, %zu made, %zu reused from %s\n",
               patched.patches, static_cast<long long>(patched.bytes), patched.made, patched.reused,
               patches.history.c_str());
    return kExitOk;
}

int usage_error(const char *usage) {
    fputs(usage, stderr);
    return kExitError;
}

// A whole number from 1 to MAX, or 0.
int whole_number(const char *text, int max) {
    char *end = nullptr;
    errno = 0;
    const long number = strtol(text, &end, 10);
    const bool good = *text >= '0' && *text <= '9' && *end == '\0' && errno == 0;
    return good && number >= 1 && number <= max ? static_cast<int>(number) : 0;
}

}  // namespace

int publish_build(int argc, char **argv, const char *usage) {
    const char *key_path = nullptr;
    const char *signing_key_path = nullptr;
    const char *days = nullptr;
    const char *history = nullptr;
    const char *keep = nullptr;
    bool check_dependencies = true;
    int at = 0;
    for (; at < argc && strncmp(argv[at], "--", 2) == 0; at++) {
        const std::string_view option = argv[at];
        if (option_value("--key", argc, argv, &at, &key_path) ||
            option_value("--signing-key", argc, argv, &at, &signing_key_path) ||
            option_value("--valid-days", argc, argv, &at, &days) ||
            option_value("--history", argc, argv, &at, &history) ||
            option_value("--keep", argc, argv, &at, &keep)) {
            continue;
        } else if (option == "--unchecked-dependencies") {
            check_dependencies = false;
        } else if (option == "--") {
            at++;
            break;
        } else {
            return usage_error(usage);
        }
    }
    if (key_path == nullptr || argc - at != 2) return usage_error(usage);
    BuildKeys keys;
    if (days != nullptr && (keys.valid_days = whole_number(days, kMaxValidDays)) == 0) {
        return fail(std::string("--valid-days ") + days +
                    ": give a whole number of days from 1 to " + std::to_string(kMaxValidDays));
    }
    if (days != nullptr && signing_key_path == nullptr) {
        return fail("--valid-days is the validity of the manifest: it needs --signing-key");
    }
    PatchOptions patches;
    if (keep != nullptr && (patches.keep = whole_number(keep, kMaxKeep)) == 0) {
        return fail(std::string("--keep ") + keep + ": give a whole number of versions from 1 to " +
                    std::to_string(kMaxKeep));
    }
    if ((history != nullptr || keep != nullptr) && signing_key_path == nullptr) {
        return fail(
            "--history and --keep are for patches, which the manifest lists: they need "
            "--signing-key");
    }
    if (history != nullptr) patches.history = history;

    MirrorDesc desc;
    std::string error;
    if (mirror_desc_load(argv[at], &desc, &error) < 0) return fail(error);
    if (check_dependencies && mirror_desc_check_dependencies(desc, &error) < 0) {
        return fail(error + " (--unchecked-dependencies publishes it anyway)");
    }
    Pkey signing_key;
    if (signing_key_path == nullptr) {
        fprintf(stderr,
                "qavopublish: warning: no --signing-key: the mirror gets no manifest (%s%s), and "
                "updaters configured with manifest=required will refuse it\n",
                desc.catalogue.c_str(), kManifestSuffix);
    } else if (int status = signing_key_load(signing_key_path, &signing_key); status != kExitOk) {
        return status;
    }
    keys.signing_key = signing_key.get();
    KeyFile key;
    if (int status = load_key(key_path, &key, true); status != kExitOk) return status;
    keys.key = &key;
    const int status = build(desc, keys, patches, argv[at + 1]);
    keyfile_wipe(&key);
    return status;
}
