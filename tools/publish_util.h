// Helpers shared by the publisher's commands: messages, outputs that appear
// complete or not at all, private keys and signature blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "integrity/md5.h"
#include "integrity/rsa.h"
#include "tools/keyfile.h"

constexpr int kExitOk = 0;
constexpr int kExitMismatch = 1;
constexpr int kExitError = 2;
constexpr int kKeyBits = 1022;  // the most the updater's arithmetic takes

// Prints "qavopublish: MESSAGE" on stderr and returns kExitError.
int fail(const std::string &message);
// "WHAT PATH: strerror(errno)".
std::string system_error(const std::string &what, const std::string &path);

// Takes the option NAME with its value, "NAME VALUE" or "NAME=VALUE", at
// ARGV[*AT]; *AT is then left on its last word.
bool option_value(std::string_view name, int argc, char **argv, int *at, const char **value);
// Appends the whole of a file to *DATA; false when it cannot be read.
bool read_whole(const std::string &path, std::string *data);

// An output written under a temporary name in the target's directory and
// renamed over the target only when complete.
struct Output {
    std::string path;
    std::string temp;
    FILE *stream = nullptr;

    ~Output() { discard(); }
    int open(const std::string &target, mode_t mode);
    int commit();
    void discard();
};

struct Input {
    FILE *stream = nullptr;
    ~Input() {
        if (stream != nullptr) fclose(stream);
    }
};

// Loads a key, refusing a modulus the updater cannot use; kExitOk or the
// status of the reported failure.
int load_key(const char *path, KeyFile *key, bool need_private);
// The signature block of a payload digest: the digest read little-endian to
// the private power, checked with the public half before it is handed out.
// 0, or -1 when the key's halves do not belong together.
int sign_digest(const KeyFile *key, const uint8_t *digest, uint8_t *signature);
