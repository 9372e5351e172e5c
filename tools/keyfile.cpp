// PEM and DER decoding of RSA key files for the publisher tool: base64,
// then the few ASN.1 structures that hold the key numbers.
#include "tools/keyfile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kMaxKeyFile = 64 * 1024;
// 1.2.840.113549.1.1.1, rsaEncryption
constexpr uint8_t kRsaOid[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};

enum DerTag : uint8_t {
    kInteger = 0x02,
    kBitString = 0x03,
    kOctetString = 0x04,
    kNull = 0x05,
    kOid = 0x06,
    kSequence = 0x30,
};

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool base64_decode(std::string_view text, std::vector<uint8_t> *out) {
    uint32_t bits = 0;
    int count = 0;
    bool padding = false;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        int v = base64_value(c);
        if (v < 0 || padding) return false;
        bits = bits << 6 | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out->push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return true;
}

// A bounded view of DER data; every read checks what is left.
struct Der {
    const uint8_t *data;
    size_t size;

    // Reads one element with the given tag; its contents go to *inner.
    bool take(uint8_t tag, Der *inner) {
        if (size < 2 || data[0] != tag) return false;
        size_t length = data[1];
        size_t header = 2;
        if (length & 0x80) {
            size_t bytes = length & 0x7f;
            if (bytes == 0 || bytes > 3 || size < 2 + bytes) return false;
            length = 0;
            for (size_t i = 0; i < bytes; i++) length = length << 8 | data[2 + i];
            header += bytes;
        }
        if (length > size - header) return false;
        *inner = {data + header, length};
        data += header + length;
        size -= header + length;
        return true;
    }

    // A non-negative INTEGER of at most 128 significant bytes.
    bool take_number(Number *number, int *bits = nullptr) {
        Der value;
        if (!take(kInteger, &value) || value.size == 0 || (value.data[0] & 0x80)) return false;
        while (value.size > 0 && value.data[0] == 0) {
            value.data++;
            value.size--;
        }
        if (value.size > kRsaSignatureSize) return false;
        uint8_t little[kRsaSignatureSize] = {};
        for (size_t i = 0; i < value.size; i++) little[i] = value.data[value.size - 1 - i];
        number_from_bytes(number, little, static_cast<uint32_t>(value.size));
        number_wipe(little, sizeof little);
        if (bits != nullptr) {
            *bits = value.size == 0
                        ? 0
                        : static_cast<int>(8 * value.size) - __builtin_clz(value.data[0]) + 24;
        }
        return true;
    }
};

bool parse_algorithm(Der *outer) {
    Der algorithm, oid, null;
    if (!outer->take(kSequence, &algorithm) || !algorithm.take(kOid, &oid)) return false;
    if (oid.size != sizeof kRsaOid || memcmp(oid.data, kRsaOid, sizeof kRsaOid) != 0) return false;
    return algorithm.size == 0 || algorithm.take(kNull, &null);
}

// RSAPublicKey: SEQUENCE { n, e }
bool parse_rsa_public(Der der, KeyFile *key) {
    Der body;
    return der.take(kSequence, &body) && body.take_number(&key->key.modulus, &key->modulus_bits) &&
           body.take_number(&key->key.exponent);
}

// RSAPrivateKey: SEQUENCE { version, n, e, d, p, q, ... }
bool parse_rsa_private(Der der, KeyFile *key) {
    Der body;
    Number version;
    if (!der.take(kSequence, &body) || !body.take_number(&version)) return false;
    key->has_private = true;
    return body.take_number(&key->key.modulus, &key->modulus_bits) &&
           body.take_number(&key->key.exponent) && body.take_number(&key->private_exponent);
}

// SubjectPublicKeyInfo: SEQUENCE { algorithm, BIT STRING { RSAPublicKey } }
bool parse_spki(Der der, KeyFile *key) {
    Der body, bits;
    if (!der.take(kSequence, &body) || !parse_algorithm(&body)) return false;
    if (!body.take(kBitString, &bits) || bits.size < 1 || bits.data[0] != 0) return false;
    return parse_rsa_public({bits.data + 1, bits.size - 1}, key);
}

// PrivateKeyInfo: SEQUENCE { version, algorithm, OCTET STRING { RSAPrivateKey } }
bool parse_pkcs8(Der der, KeyFile *key) {
    Der body, octets;
    Number version;
    if (!der.take(kSequence, &body) || !body.take_number(&version) || !parse_algorithm(&body)) {
        return false;
    }
    return body.take(kOctetString, &octets) && parse_rsa_private(octets, key);
}

}  // namespace

void keyfile_wipe(KeyFile *key) {
    number_wipe(key, sizeof *key);
}

int keyfile_load(const char *path, KeyFile *key, std::string *error) {
    memset(key, 0, sizeof *key);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::string("cannot read key file ") + path + ": " + strerror(errno);
        return -1;
    }
    std::string text;
    text.resize(kMaxKeyFile + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxKeyFile) {
        *error = std::string(path) + ": too large for a key file";
        return -1;
    }

    struct Kind {
        std::string_view label;
        bool (*parse)(Der, KeyFile *);
    };
    static constexpr Kind kKinds[] = {
        {"PUBLIC KEY", parse_spki},
        {"RSA PUBLIC KEY", parse_rsa_public},
        {"PRIVATE KEY", parse_pkcs8},
        {"RSA PRIVATE KEY", parse_rsa_private},
    };
    std::string_view view(text);
    for (const Kind &kind : kKinds) {
        std::string begin = "-----BEGIN " + std::string(kind.label) + "-----";
        std::string end = "-----END " + std::string(kind.label) + "-----";
        size_t start = view.find(begin);
        if (start == std::string_view::npos) continue;
        size_t stop = view.find(end, start);
        std::string_view body = view.substr(start + begin.size(), stop - start - begin.size());
        if (stop == std::string_view::npos || body.find(':') != std::string_view::npos) {
            *error = std::string(path) + ": encrypted or malformed PEM block";
            return -1;
        }
        std::vector<uint8_t> der;
        bool ok = base64_decode(body, &der) && kind.parse({der.data(), der.size()}, key);
        number_wipe(der.data(), der.size());
        if (!ok) {
            keyfile_wipe(key);
            *error = std::string(path) + ": not a readable RSA key of at most 1024 bits";
            return -1;
        }
        return 0;
    }
    *error = std::string(path) + ": no unencrypted PEM RSA key found";
    return -1;
}
