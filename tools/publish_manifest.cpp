// Signing and checking manifests. Keys are read and signatures made by
// libcrypto, linked directly: the publisher is no scheduled job whose start
// the library's loading would slow down.
#include "tools/publish_manifest.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "core/clock.h"
#include "integrity/manifest.h"
#include "support/crypto.h"
#include "support/descriptor.h"
#include "tools/mirror_desc.h"
#include "tools/previous_listing.h"
#include "tools/publish_patches.h"
#include "tools/publish_util.h"

namespace {

constexpr int64_t kDay = 24 * 60 * 60;

struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct SignContextFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

// An encrypted key is refused rather than asked about on the terminal: a
// publication runs unattended.
int no_passphrase(char *, int, int, void *) {
    return -1;
}

// Reads one PEM object of the file with READ; null when there is none.
template <typename Read>
Pkey read_pem(const char *path, Read read) {
    const std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path, "r"));
    return Pkey(bio ? read(bio.get(), nullptr, no_passphrase, nullptr) : nullptr);
}

bool raw_public(EVP_PKEY *key, Ed25519PublicKey *raw) {
    size_t size = raw->size();
    return EVP_PKEY_get_raw_public_key(key, raw->data(), &size) == 1 && size == raw->size();
}

// The size and SHA-256 of the file at PATH as it is now.
bool digest_file(const std::string &path, ManifestFile *file) {
    const Descriptor in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (in.fd < 0 || fstat(in.fd, &info) < 0) return false;
    file->size = info.st_size;
    return sha256_fd(in.fd, info.st_size, file->sha256);
}

// The serial of the manifest at PATH; 0 when there is none to follow.
int64_t previous_serial(const std::string &path) {
    std::string text;
    if (access(path.c_str(), F_OK) < 0 && errno == ENOENT) return 0;
    Manifest previous;
    if (read_whole(path, &text) && manifest_parse(text, previous).empty()) return previous.serial;
    fprintf(stderr,
            "qavopublish: warning: %s does not read as a manifest; the new serial follows the "
            "clock alone\n",
            path.c_str());
    return 0;
}

}  // namespace

int signing_key_load(const char *path, Pkey *key) {
    *key = read_pem(path, PEM_read_bio_PrivateKey);
    if (!*key) return fail(std::string(path) + ": not a readable, unencrypted PEM private key");
    if (EVP_PKEY_get_base_id(key->get()) != EVP_PKEY_ED25519)
        return fail(std::string(path) + ": not an Ed25519 key (manifests are signed with Ed25519)");
    return kExitOk;
}

int signing_public_key_load(const char *path, Ed25519PublicKey *raw) {
    const Pkey key = read_pem(path, PEM_read_bio_PUBKEY);
    if (!key) return fail(std::string(path) + ": not a readable PEM public key");
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519 || !raw_public(key.get(), raw))
        return fail(std::string(path) + ": not an Ed25519 public key");
    return kExitOk;
}

bool signing_key_trusted(EVP_PKEY *key) {
    Ed25519PublicKey raw;
    const auto trusted = trusted_signing_keys();
    return raw_public(key, &raw) && std::find(trusted.begin(), trusted.end(), raw) != trusted.end();
}

bool sign_text(EVP_PKEY *key, const std::string &body, std::string *text) {
    Ed25519PublicKey public_key;
    ManifestKeyId keyid;
    ManifestSignature signature;
    size_t size = signature.size();
    const std::unique_ptr<EVP_MD_CTX, SignContextFree> context(EVP_MD_CTX_new());
    // Ed25519 signs the text itself: no digest is named. The signature is
    // checked with the public half before it is handed out.
    if (!context || !raw_public(key, &public_key) || !ed25519_key_id(public_key, keyid) ||
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &size,
                       reinterpret_cast<const unsigned char *>(body.data()), body.size()) != 1 ||
        size != signature.size() || !ed25519_verify(public_key, body, signature))
        return false;
    *text = body + manifest_signature_line(keyid, signature);
    return true;
}

int Problems::operator()(const std::string &what, int kind) {
    fprintf(stderr, "qavopublish: %s: %s\n", path.c_str(), what.c_str());
    status = std::max(status, kind);
    return status;
}

bool signature_good(const std::vector<Ed25519PublicKey> &keys, std::string_view signed_text,
                    const ManifestKeyId &keyid, const ManifestSignature &signature,
                    const std::string &what, Problems &problem) {
    const auto key = std::find_if(keys.begin(), keys.end(), [&](const Ed25519PublicKey &key) {
        ManifestKeyId id;
        return ed25519_key_id(key, id) && id == keyid;
    });
    if (key == keys.end()) {
        problem(
            "signed by key " + manifest_hex(keyid.data(), keyid.size()) + ", none of those given",
            kExitMismatch);
    } else if (!ed25519_verify(*key, signed_text, signature)) {
        problem(what + " signature does not match", kExitMismatch);
    }
    return problem.status == kExitOk;
}

int manifest_sign(const std::string &root, const std::string &catalogue, const InfoRecord &info,
                  EVP_PKEY *key, const std::string &previous, int valid_days, std::string *text,
                  Manifest *signed_manifest) {
    const int64_t validity = valid_days * kDay;
    const int64_t last = previous_serial(previous);
    if (last > std::numeric_limits<int64_t>::max() - 1 - validity)
        return fail(previous + ": serial " + std::to_string(last) +
                    " leaves no room for a later one");
    Manifest manifest;
    manifest.serial = std::max<int64_t>(wall_seconds(), last + 1);
    manifest.expires = manifest.serial + validity;
    ManifestFile whole;
    if (!digest_file(root + "/" + catalogue, &whole))
        return fail(system_error("cannot read", root + "/" + catalogue));
    manifest.catalogue = whole.sha256;
    for (const FileRecord *file : catalogue_files(info)) {
        ManifestFile &listed = manifest.files.emplace_back();
        listed.sitepath = *file->sitepath;
        if (!digest_file(root + "/" + listed.sitepath, &listed))
            return fail(system_error("cannot read", root + "/" + listed.sitepath));
    }

    if (!sign_text(key, manifest_body(manifest), text))
        return fail("the Ed25519 key does not produce valid manifest signatures");
    if (!manifest_parse(*text, *signed_manifest).empty())
        return fail("the manifest written does not parse (a bug of qavopublish)");
    return kExitOk;
}

int manifest_verify(const std::string &catalogue, const std::vector<Ed25519PublicKey> &keys) {
    const std::string path = catalogue + kManifestSuffix;
    Problems problem{path};
    int &status = problem.status;
    std::string text;
    if (!read_whole(path, &text)) return fail(system_error("cannot read", path));
    Manifest manifest;
    const std::string malformed = manifest_parse(text, manifest);
    if (!malformed.empty()) return problem("malformed manifest (" + malformed + ")", kExitMismatch);
    if (!signature_good(keys, std::string_view(text).substr(0, manifest.signed_length),
                        manifest.keyid, manifest.signature, "manifest", problem))
        return status;

    // Signed: from here on every disagreement with the tree is reported.
    const int64_t now = wall_seconds();
    if (manifest.expires <= now)
        problem("expired " + std::to_string((now - manifest.expires) / 3600) + " hours ago",
                kExitMismatch);
    ManifestFile whole;
    if (!digest_file(catalogue, &whole))
        return problem(system_error("cannot read", catalogue), kExitError);
    if (whole.sha256 != manifest.catalogue)
        problem("does not match the catalogue " + catalogue, kExitMismatch);
    const std::unique_ptr<InfoRecord> info = published_catalogue_read(catalogue);
    if (info == nullptr) return problem("cannot read the catalogue " + catalogue, kExitError);
    std::unordered_map<std::string_view, const ManifestFile *> listed;
    for (const ManifestFile &file : manifest.files) listed.emplace(file.sitepath, &file);
    const size_t slash = catalogue.rfind('/');
    const std::string root = slash == std::string::npos ? "." : catalogue.substr(0, slash);
    for (const FileRecord *file : catalogue_files(*info)) {
        const std::string &site = *file->sitepath;
        const auto found = listed.find(site);
        ManifestFile actual;
        if (found == listed.end()) {
            problem("does not list " + site + ", which the catalogue lists", kExitMismatch);
        } else if (found->second->size != file->size) {
            problem("lists " + site + " with another size than the catalogue", kExitMismatch);
        } else if (!digest_file(root + "/" + site, &actual)) {
            problem(system_error("cannot read", root + "/" + site), kExitError);
        } else if (actual.size != found->second->size || actual.sha256 != found->second->sha256) {
            problem(site + " does not match its entry", kExitMismatch);
        }
    }
    if (status == kExitOk)
        printf("%s: manifest verified (serial %lld, %zu files, expires in %lld hours)\n",
               path.c_str(), static_cast<long long>(manifest.serial), manifest.files.size(),
               static_cast<long long>((manifest.expires - now) / 3600));
    return std::max(status, patch_index_verify(catalogue, root, keys, manifest));
}
