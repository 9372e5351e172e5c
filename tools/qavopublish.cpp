// qavopublish: the publisher's half of the update chain. Generates key
// pairs, compresses and decompresses LZSS files, signs files and checks
// signatures, and builds whole mirrors, in the formats the updater reads.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "integrity/lzss.h"
#include "integrity/md5.h"
#include "integrity/number.h"
#include "integrity/rsa.h"
#include "tools/keyfile.h"
#include "tools/publish_build.h"
#include "tools/publish_util.h"

namespace {

constexpr const char *kPrivateName = "private-key.pem";
constexpr const char *kPublicName = "public-key.pem";

constexpr const char kUsage[] =
    "usage: qavopublish COMMAND ARGUMENTS\n"
    "\n"
    "  keygen DIR                       write a new key pair to DIR/private-key.pem and\n"
    "                                   DIR/public-key.pem (1022 bits, exponent 65537)\n"
    "  compress IN OUT                  LZSS-compress IN into OUT\n"
    "  decompress IN OUT                LZSS-decompress IN into OUT\n"
    "  sign --key PRIVATE.pem IN OUT    write IN followed by its 128-byte signature to OUT\n"
    "  verify [--key PUBLIC.pem] FILE   check the signature of FILE; without --key, against\n"
    "                                   the key built into the updater\n"
    "  build --key PRIVATE.pem [--unchecked-dependencies] DESCRIPTION MIRROR\n"
    "                                   publish the mirror described in DESCRIPTION (see\n"
    "                                   docs/mirror.md) as the directory MIRROR\n"
    "\n"
    "Outputs appear complete or not at all. Exit status: 0 success, 1 signature does\n"
    "not match, 2 any other error. keygen runs the openssl command.\n";

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

// Runs a command without a shell; 0 when it exits with status 0.
int run(const char *const argv[]) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
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
    const std::string private_path = std::string(dir) + "/" + kPrivateName;
    const std::string public_path = std::string(dir) + "/" + kPublicName;
    struct stat info;
    if (stat(dir, &info) < 0 || !S_ISDIR(info.st_mode)) {
        return fail(std::string("not a directory: ") + dir);
    }
    if (exists(private_path) || exists(public_path)) {
        return fail(std::string("refusing to overwrite the key pair in ") + dir);
    }
    // Both halves are made under temporary names and renamed at the end.
    Output private_out, public_out;
    if (private_out.open(private_path, 0600) < 0 || public_out.open(public_path, 0644) < 0) {
        return fail(system_error("cannot create files in", dir));
    }
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
    const char *extract[] = {"openssl",
                             "pkey",
                             "-in",
                             private_out.temp.c_str(),
                             "-pubout",
                             "-out",
                             public_out.temp.c_str(),
                             nullptr};
    if (run(generate) < 0) return fail("openssl could not generate the key");
    if (run(extract) < 0) return fail("openssl could not write the public key");

    KeyFile key;
    std::string error;
    if (keyfile_load(private_out.temp.c_str(), &key, &error) < 0) return fail(error);
    const bool good = key.modulus_bits == kKeyBits && key.has_private;
    keyfile_wipe(&key);
    if (!good) return fail("openssl produced a key of the wrong size");
    if (public_out.commit() < 0 || private_out.commit() < 0) {
        unlink(public_path.c_str());
        return fail(system_error("cannot write the key pair in", dir));
    }
    printf("wrote %s and %s\n", private_path.c_str(), public_path.c_str());
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

int verify(const char *key_path, const char *path) {
    KeyFile key;
    const RsaKey *rsa = rsa_public_key;
    if (key_path != nullptr) {
        if (int status = load_key(key_path, &key, false); status != kExitOk) return status;
        rsa = &key.key;
    }
    int result = rsa_verify_file(rsa, path);
    if (key_path != nullptr) keyfile_wipe(&key);
    if (result < 0) return fail(std::string("cannot check ") + path);
    if (result != 0) {
        fprintf(stderr, "qavopublish: %s: signature does not match\n", path);
        return kExitMismatch;
    }
    printf("%s: signature verified\n", path);
    return kExitOk;
}

// Takes "--key PATH" or "--key=PATH" from the front of the arguments.
const char *take_key(int *argc, char ***argv) {
    if (*argc < 1) return nullptr;
    std::string_view first = (*argv)[0];
    if (first == "--key" && *argc >= 2) {
        const char *path = (*argv)[1];
        *argc -= 2;
        *argv += 2;
        return path;
    }
    if (first.starts_with("--key=") && first.size() > 6) {
        *argc -= 1;
        *argv += 1;
        return (*argv)[-1] + 6;
    }
    return nullptr;
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
    if (command == "sign") {
        const char *key = take_key(&argc, &argv);
        if (key == nullptr || argc != 2) return usage_error();
        return sign(key, argv[0], argv[1]);
    }
    if (command == "build") return publish_build(argc, argv, kUsage);
    if (command == "verify") {
        const char *key = take_key(&argc, &argv);
        if (argc != 1) return usage_error();
        return verify(key, argv[0]);
    }
    return usage_error();
}
