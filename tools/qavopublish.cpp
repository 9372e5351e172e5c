// qavopublish: the publisher's half of the update chain. Generates key
// pairs, compresses and decompresses LZSS files, signs files and checks
// signatures, and builds whole mirrors, in the formats the updater reads.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "integrity/lzss.h"
#include "integrity/md5.h"
#include "integrity/number.h"
#include "integrity/rsa.h"
#include "tools/keyfile.h"
#include "tools/mirror_desc.h"
#include "tools/publish_build.h"
#include "tools/publish_manifest.h"
#include "tools/publish_util.h"

namespace {

constexpr const char *kPrivateName = "private-key.pem";
constexpr const char *kPublicName = "public-key.pem";
constexpr const char *kSigningPrivateName = "ed25519-private-key.pem";
constexpr const char *kSigningPublicName = "ed25519-public-key.pem";

constexpr const char kUsage[] =
    "usage: qavopublish COMMAND ARGUMENTS\n"
    "\n"
    "  keygen DIR                       write a new RSA key pair to DIR/private-key.pem and\n"
    "                                   DIR/public-key.pem (1022 bits, exponent 65537), and\n"
    "                                   an Ed25519 pair for manifests to\n"
    "                                   DIR/ed25519-private-key.pem and ed25519-public-key.pem\n"
    "  compress IN OUT                  LZSS-compress IN into OUT\n"
    "  decompress IN OUT                LZSS-decompress IN into OUT\n"
    "  sign --key PRIVATE.pem IN OUT    write IN followed by its 128-byte signature to OUT\n"
    "  verify [--key PUBLIC.pem] [--signing-key ED25519-PUBLIC.pem]... FILE\n"
    "                                   check the signature of FILE; without --key, against\n"
    "                                   the key built into the updater. When FILE.sig is there,\n"
    "                                   also check that manifest and the files FILE lists,\n"
    "                                   with the --signing-key naming its keyid (by default the\n"
    "                                   Ed25519 keys built into the updater), and FILE.delta\n"
    "                                   and its patches when it is there\n"
    "  build --key PRIVATE.pem [--signing-key ED25519-PRIVATE.pem [--valid-days N]\n"
    "        [--history DIR] [--keep K]] [--unchecked-dependencies] DESCRIPTION MIRROR\n"
    "                                   publish the mirror described in DESCRIPTION (see\n"
    "                                   docs/mirror.md) as the directory MIRROR, with the\n"
    "                                   manifest CATALOGUE.sig valid N days (default 7), and\n"
    "                                   patches from the K (default 7) older versions of each\n"
    "                                   file kept in DIR (default DESCRIPTION.history), listed in\n"
    "                                   CATALOGUE.delta\n"
    "\n"
    "Outputs appear complete or not at all. Exit status: 0 success, 1 signature does\n"
    "not match (or a manifest or patch index disagrees), 2 any other error. keygen\n"
    "runs the openssl command.\n";

using Codec = int (*)(FILE *, FILE *);

int run_codec(Codec codec, const char *in_path, const char *out_path) {
    Input in;
    in.stream = fopen(in_path, "rb");
    if (in.stream == nullptr) return fail(system_error("cannot open", in_path));
    Output out;
    if (out.open(out_path, 0666) < 0) return fail(system_error("cannot create", out_path));
    int result = codec(in.stream, out.stream);
    if (ferror(in.stream)) return fail(system_error("cannot read", in_path));
    if ((codec == lzss_encode && result < 0) || ferror(out.stream)) {
        return fail(system_error("cannot write", out_path));
    }
    if (out.commit() < 0) return fail(system_error("cannot write", out_path));
    return kExitOk;
}

// Runs a command without a shell; 0 when it exits with status 0. What it
// creates is private to the user: it writes private keys.
int run(const char *const argv[]) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        umask(077);
        execvp(argv[0], const_cast<char *const *>(argv));
        fprintf(stderr, "qavopublish: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

bool exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

int keygen(const char *dir) {
    const std::string base = std::string(dir) + "/";
    const std::string paths[] = {base + kPrivateName, base + kPublicName,
                                 base + kSigningPrivateName, base + kSigningPublicName};
    struct stat info;
    if (stat(dir, &info) < 0 || !S_ISDIR(info.st_mode)) {
        return fail(std::string("not a directory: ") + dir);
    }
    for (const std::string &path : paths) {
        if (exists(path)) return fail(std::string("refusing to overwrite the key pairs in ") + dir);
    }
    // Every file is made under a temporary name, private ones with mode 0600
    // before anything is written, and renamed at the end.
    Output outs[4];
    for (int i = 0; i < 4; i++) {
        if (outs[i].open(paths[i], i % 2 == 0 ? 0600 : 0644) < 0) {
            return fail(system_error("cannot create files in", dir));
        }
    }
    Output &private_out = outs[0];
    const std::string bits = "rsa_keygen_bits:" + std::to_string(kKeyBits);
    const char *generate[] = {"openssl",
                              "genpkey",
                              "-quiet",
                              "-algorithm",
                              "RSA",
                              "-pkeyopt",
                              bits.c_str(),
                              "-pkeyopt",
                              "rsa_keygen_pubexp:65537",
                              "-out",
                              private_out.temp.c_str(),
                              nullptr};
    const char *generate_signing[] = {
        "openssl", "genpkey", "-algorithm", "ed25519", "-out", outs[2].temp.c_str(), nullptr};
    if (run(generate) < 0 || run(generate_signing) < 0) {
        return fail("openssl could not generate the keys");
    }
    for (int i = 0; i < 4; i += 2) {
        const char *extract[] = {"openssl",
                                 "pkey",
                                 "-in",
                                 outs[i].temp.c_str(),
                                 "-pubout",
                                 "-out",
                                 outs[i + 1].temp.c_str(),
                                 nullptr};
        if (run(extract) < 0) return fail("openssl could not write the public keys");
    }

    KeyFile key;
    std::string error;
    if (keyfile_load(private_out.temp.c_str(), &key, &error) < 0) return fail(error);
    const bool good = key.modulus_bits == kKeyBits && key.has_private;
    keyfile_wipe(&key);
    if (!good) return fail("openssl produced a key of the wrong size");
    Pkey signing_key;
    if (signing_key_load(outs[2].temp.c_str(), &signing_key) != kExitOk) return kExitError;
    // Public halves first: a failure leaves no private key without its pair.
    for (int i : {1, 3, 0, 2}) {
        if (outs[i].commit() < 0) {
            for (const std::string &path : paths) unlink(path.c_str());
            return fail(system_error("cannot write the key pairs in", dir));
        }
    }
    printf("wrote %s and %s\n", paths[0].c_str(), paths[1].c_str());
    printf("wrote %s and %s\n", paths[2].c_str(), paths[3].c_str());
    return kExitOk;
}

// Copies IN to the output while digesting exactly the bytes copied.
int copy_and_digest(const char *in_path, Output *out, uint8_t *digest) {
    Input in;
    in.stream = fopen(in_path, "rb");
    if (in.stream == nullptr) return fail(system_error("cannot open", in_path));
    Md5Context context;
    md5_init(&context);
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, in.stream)) > 0) {
        md5_update(&context, buffer, static_cast<uint32_t>(got));
        if (fwrite(buffer, 1, got, out->stream) != got) {
            return fail(system_error("cannot write", out->path));
        }
    }
    md5_final(digest, &context);
    if (ferror(in.stream)) return fail(system_error("cannot read", in_path));
    return kExitOk;
}

int sign(const char *key_path, const char *in_path, const char *out_path) {
    KeyFile key;
    if (int status = load_key(key_path, &key, true); status != kExitOk) return status;
    Output out;
    uint8_t digest[kMd5DigestSize];
    if (out.open(out_path, 0666) < 0) {
        keyfile_wipe(&key);
        return fail(system_error("cannot create", out_path));
    }
    if (int status = copy_and_digest(in_path, &out, digest); status != kExitOk) {
        keyfile_wipe(&key);
        return status;
    }

    uint8_t signature[kRsaSignatureSize];
    const bool ok = sign_digest(&key, digest, signature) == 0;
    keyfile_wipe(&key);
    if (!ok) return fail(std::string(key_path) + ": the key does not produce valid signatures");
    if (fwrite(signature, 1, sizeof signature, out.stream) != sizeof signature ||
        out.commit() < 0) {
        return fail(system_error("cannot write", out_path));
    }
    return kExitOk;
}

int verify(const char *key_path, const std::vector<Ed25519PublicKey> &signing_keys,
           const char *path) {
    KeyFile key;
    const RsaKey *rsa = rsa_public_key;
    if (key_path != nullptr) {
        if (int status = load_key(key_path, &key, false); status != kExitOk) return status;
        rsa = &key.key;
    }
    int result = rsa_verify_file(rsa, path);
    if (key_path != nullptr) keyfile_wipe(&key);
    if (result < 0) return fail(std::string("cannot check ") + path);
    int status = kExitOk;
    if (result != 0) {
        fprintf(stderr, "qavopublish: %s: signature does not match\n", path);
        status = kExitMismatch;
    } else {
        printf("%s: signature verified\n", path);
    }
    const std::string manifest = std::string(path) + kManifestSuffix;
    if (access(manifest.c_str(), F_OK) < 0 && errno == ENOENT) return status;
    std::vector<Ed25519PublicKey> keys = signing_keys;
    if (keys.empty()) keys.assign(trusted_signing_keys().begin(), trusted_signing_keys().end());
    return std::max(status, manifest_verify(path, keys));
}

int usage_error() {
    fputs(kUsage, stderr);
    return kExitError;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage_error();
    const std::string_view command = argv[1];
    argc -= 2;
    argv += 2;
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "keygen" && argc == 1) return keygen(argv[0]);
    if (command == "compress" && argc == 2) return run_codec(lzss_encode, argv[0], argv[1]);
    if (command == "decompress" && argc == 2) return run_codec(lzss_decode, argv[0], argv[1]);
    if (command == "build") return publish_build(argc, argv, kUsage);
    // sign and verify: options first.
    const char *key = nullptr;
    std::vector<Ed25519PublicKey> signing_keys;
    int at = 0;
    for (const char *signing_key = nullptr; at < argc; at++) {
        if (option_value("--key", argc, argv, &at, &key)) continue;
        if (command != "verify" || !option_value("--signing-key", argc, argv, &at, &signing_key))
            break;
        if (signing_public_key_load(signing_key, &signing_keys.emplace_back()) != kExitOk)
            return kExitError;
    }
    argc -= at;
    argv += at;
    if (command == "sign") {
        if (key == nullptr || argc != 2) return usage_error();
        return sign(key, argv[0], argv[1]);
    }
    if (command == "verify" && argc == 1) return verify(key, signing_keys, argv[0]);
    return usage_error();
}
