// RSA keys of the publisher tool read from PEM files: public keys
// ("PUBLIC KEY", "RSA PUBLIC KEY") and unencrypted private keys
// ("PRIVATE KEY", "RSA PRIVATE KEY").
#pragma once

#include <string>

#include "integrity/number.h"
#include "integrity/rsa.h"

struct KeyFile {
    RsaKey key;               // modulus and public exponent
    Number private_exponent;  // zero for a public key
    bool has_private;
    int modulus_bits;
};

// 0 on success; -1 with a message in *error.
int keyfile_load(const char *path, KeyFile *key, std::string *error);
void keyfile_wipe(KeyFile *key);
