// Signature check: digests and signed files against a test key whose
// signature was computed independently, tampering, and stripping.
#include <gtest/gtest.h>

#include <cstring>

#include "integrity/md5.h"
#include "integrity/rsa.h"
#include "integrity_test_util.h"

namespace {
#include "number_vectors.inc"

RsaKey test_key() {
    RsaKey key = {};
    key.modulus = number_from_hex(kTestKeyModulus);
    key.exponent.words[0] = 65537;
    return key;
}

Bytes md5_bytes(const Bytes &data) {
    Md5Context context;
    md5_init(&context);
    md5_update(&context, data.data(), static_cast<uint32_t>(data.size()));
    Bytes digest(kMd5DigestSize);
    md5_final(digest.data(), &context);
    return digest;
}

// Signs with the project's own arithmetic and the private exponent.
Bytes sign(const Bytes &payload) {
    Bytes digest = md5_bytes(payload);
    Number value;
    number_from_bytes(&value, digest.data(), kMd5DigestSize);
    const Number d = number_from_hex(kTestKeyPrivate);
    const Number n = number_from_hex(kTestKeyModulus);
    EXPECT_EQ(number_modexp(&value, &d, &n), 0);
    Bytes signature(kRsaSignatureSize, 0);
    uint32_t size = kRsaSignatureSize;
    EXPECT_EQ(number_to_bytes(&value, signature.data(), &size), 0);
    return signature;
}

Bytes signed_file(const Bytes &payload) {
    Bytes file = payload;
    Bytes signature = sign(payload);
    file.insert(file.end(), signature.begin(), signature.end());
    return file;
}

Bytes reference_signature() {
    Number n = number_from_hex(kTestSignature);
    Bytes signature(kRsaSignatureSize, 0);
    uint32_t size = kRsaSignatureSize;
    EXPECT_EQ(number_to_bytes(&n, signature.data(), &size), 0);
    return signature;
}

TEST(RsaVerify, AcceptsTheIndependentSignature) {
    RsaKey key = test_key();
    Bytes digest = md5_bytes(bytes_of(kTestPayload));
    Bytes signature = reference_signature();
    EXPECT_EQ(rsa_verify(&key, digest.data(), 16, signature.data(), kRsaSignatureSize), 0);
    EXPECT_EQ(sign(bytes_of(kTestPayload)), signature);  // the own arithmetic agrees
}

TEST(RsaVerify, RejectsAnyChangedDigestOrSignatureBit) {
    RsaKey key = test_key();
    Bytes digest = md5_bytes(bytes_of(kTestPayload));
    Bytes signature = reference_signature();
    for (int bit = 0; bit < 128; bit += 7) {
        Bytes changed = digest;
        changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(rsa_verify(&key, changed.data(), 16, signature.data(), kRsaSignatureSize), 1);
    }
    for (int bit = 0; bit < 1024; bit += 61) {
        Bytes changed = signature;
        changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(rsa_verify(&key, digest.data(), 16, changed.data(), kRsaSignatureSize), 1);
    }
}

TEST(RsaVerify, PowerLongerThanTheDigestIsAMismatch) {
    RsaKey key = test_key();
    Bytes digest(16, 0);
    const uint8_t two[] = {2};
    EXPECT_EQ(rsa_verify(&key, digest.data(), 16, two, 1), 1);
}

// A short power compares as the image extended with zeros: a zero digest
// signed by zero verifies.
TEST(RsaVerify, ShortImageIsZeroExtended) {
    RsaKey key = test_key();
    Bytes digest(16, 0);
    digest[0] = 1;
    const uint8_t one[] = {1};
    EXPECT_EQ(rsa_verify(&key, digest.data(), 16, one, 1), 0);
    digest[15] = 1;
    EXPECT_EQ(rsa_verify(&key, digest.data(), 16, one, 1), 1);
}

TEST(RsaVerify, Errors) {
    RsaKey key = test_key();
    Bytes digest(16, 0), signature(257, 1);
    EXPECT_EQ(rsa_verify(nullptr, digest.data(), 16, signature.data(), 128), -1);
    EXPECT_EQ(rsa_verify(&key, digest.data(), 16, signature.data(), 257), -1);
    RsaKey no_modulus = key;
    no_modulus.modulus = {};
    EXPECT_EQ(rsa_verify(&no_modulus, digest.data(), 16, signature.data(), 128), -1);
    RsaKey no_exponent = key;
    no_exponent.exponent = {};
    EXPECT_EQ(rsa_verify(&no_exponent, digest.data(), 16, signature.data(), 128), -1);
}

TEST(RsaVerifyFile, SignedFilesVerifyAndStayUnchanged) {
    ScratchDir dir;
    RsaKey key = test_key();
    for (size_t size : {0u, 1u, 100u, 4095u, 4096u, 10000u}) {
        const std::string path = dir.file("signed");
        Bytes file = signed_file(random_bytes(size, static_cast<uint32_t>(size)));
        write_file(path, file);
        EXPECT_EQ(rsa_verify_file(&key, path.c_str()), 0) << size;
        EXPECT_EQ(read_file(path), file);
    }
}

TEST(RsaVerifyFile, TooShortOrMissingFilesFail) {
    ScratchDir dir;
    RsaKey key = test_key();
    write_file(dir.file("short"), Bytes(100, 1));
    EXPECT_EQ(rsa_verify_file(&key, dir.file("short").c_str()), -1);
    EXPECT_EQ(rsa_verify_file(&key, dir.file("missing").c_str()), -1);
    EXPECT_EQ(rsa_verify_file(&key, dir.file("").c_str()), -1);  // a directory
    EXPECT_EQ(rsa_verify_and_strip(&key, dir.file("short").c_str()), -1);
    EXPECT_EQ(read_file(dir.file("short")).size(), 100u);
}

TEST(RsaVerifyFile, TamperedFilesAreRefusedAndKept) {
    ScratchDir dir;
    RsaKey key = test_key();
    const Bytes original = signed_file(random_bytes(3000, 1));
    const std::string path = dir.file("signed");
    for (size_t at : {0ul, 1500ul, 2999ul, 3000ul, 3064ul, 3127ul}) {
        Bytes tampered = original;
        tampered[at] ^= 0x20;
        write_file(path, tampered);
        EXPECT_EQ(rsa_verify_file(&key, path.c_str()), 1) << at;
        EXPECT_EQ(rsa_verify_and_strip(&key, path.c_str()), -1) << at;
        EXPECT_EQ(read_file(path), tampered) << at;
    }
}

TEST(RsaVerifyFile, StripLeavesExactlyThePayload) {
    ScratchDir dir;
    RsaKey key = test_key();
    const Bytes payload = random_bytes(777, 2);
    const std::string path = dir.file("signed");
    write_file(path, signed_file(payload));
    ASSERT_EQ(rsa_verify_and_strip(&key, path.c_str()), 0);
    EXPECT_EQ(read_file(path), payload);
    // Stripped, the file no longer carries a signature.
    EXPECT_NE(rsa_verify_file(&key, path.c_str()), 0);
}

TEST(RsaVerifyFile, ExactlyOneBlockIsAnEmptyPayload) {
    ScratchDir dir;
    RsaKey key = test_key();
    const std::string path = dir.file("empty-signed");
    write_file(path, signed_file({}));
    ASSERT_EQ(read_file(path).size(), 128u);
    EXPECT_EQ(rsa_verify_file(&key, path.c_str()), 0);
    ASSERT_EQ(rsa_verify_and_strip(&key, path.c_str()), 0);
    EXPECT_TRUE(read_file(path).empty());
}

TEST(RsaPublicKey, BuiltInKeyHasTheExpectedShape) {
    ASSERT_NE(rsa_public_key, nullptr);
    const Number &m = rsa_public_key->modulus;
    for (int i = 32; i < kNumberWords; i++) ASSERT_EQ(m.words[i], 0u);
    EXPECT_EQ(m.words[31] >> 30, 0u);  // at most 1022 bits
    EXPECT_NE(rsa_public_key->exponent.words[0], 0u);
    for (int i = 1; i < kNumberWords; i++) ASSERT_EQ(rsa_public_key->exponent.words[i], 0u);
}

}  // namespace
