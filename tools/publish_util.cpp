// Helpers shared by the publisher's commands: messages, all-or-nothing
// outputs, private keys and signature blocks.
#include "tools/publish_util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "integrity/number.h"

int fail(const std::string &message) {
    fprintf(stderr, "qavopublish: %s\n", message.c_str());
    return kExitError;
}

std::string system_error(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + strerror(errno);
}

bool read_whole(const std::string &path, std::string *data) {
    Input in;
    in.stream = fopen(path.c_str(), "rb");
    if (in.stream == nullptr) return false;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in.stream)) > 0) data->append(buffer, n);
    return ferror(in.stream) == 0;
}

bool option_value(std::string_view name, int argc, char **argv, int *at, const char **value) {
    const std::string_view option = argv[*at];
    if (option == name && *at + 1 < argc) {
        *value = argv[++*at];
        return true;
    }
    if (option.size() > name.size() + 1 && option.starts_with(name) && option[name.size()] == '=') {
        *value = argv[*at] + name.size() + 1;
        return true;
    }
    return false;
}

int Output::open(const std::string &target, mode_t mode) {
    path = target;
    temp = target + ".tmp-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        temp.clear();
        return -1;
    }
    mode_t mask = umask(0);
    umask(mask);
    stream = fdopen(fd, "wb");
    if (stream == nullptr || fchmod(fd, mode & ~mask) < 0) {
        if (stream == nullptr) close(fd);
        return -1;
    }
    return 0;
}

int Output::commit() {
    int result = fflush(stream) == 0 && fsync(fileno(stream)) == 0 ? 0 : -1;
    if (fclose(stream) != 0) result = -1;
    stream = nullptr;
    if (result == 0 && rename(temp.c_str(), path.c_str()) < 0) result = -1;
    if (result == 0) temp.clear();
    return result;
}

void Output::discard() {
    if (stream != nullptr) fclose(stream);
    stream = nullptr;
    if (!temp.empty()) unlink(temp.c_str());
    temp.clear();
}

int load_key(const char *path, KeyFile *key, bool need_private) {
    std::string error;
    if (keyfile_load(path, key, &error) < 0) return fail(error);
    if (need_private && !key->has_private) {
        keyfile_wipe(key);
        return fail(std::string(path) + ": not a private key");
    }
    if (key->modulus_bits > kKeyBits) {
        keyfile_wipe(key);
        return fail(std::string(path) + ": modulus of " + std::to_string(key->modulus_bits) +
                    " bits; the updater takes at most " + std::to_string(kKeyBits));
    }
    return kExitOk;
}

int sign_digest(const KeyFile *key, const uint8_t *digest, uint8_t *signature) {
    Number value;
    number_from_bytes(&value, digest, kMd5DigestSize);
    memset(signature, 0, kRsaSignatureSize);
    uint32_t size = kRsaSignatureSize;
    bool ok = number_modexp(&value, &key->private_exponent, &key->key.modulus) == 0 &&
              number_to_bytes(&value, signature, &size) == 0;
    // A key whose halves do not belong together is caught here, not by the mirror's users.
    ok = ok && rsa_verify(&key->key, digest, kMd5DigestSize, signature, kRsaSignatureSize) == 0;
    number_wipe(&value, sizeof value);
    return ok ? 0 : -1;
}
