// OpenSSL's calls, loaded when a run first needs TLS (libssl) or a modern
// digest or signature (libcrypto alone). A run that never needs them (plain
// http://, ftp://, file:// without a manifest, and every run that finds
// nothing to do over them) does not map and relocate the libraries, which
// would cost it about 2 MiB of resident memory at every start.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <string>

// Every call the TLS layer makes. A call not listed here does not link:
// the library is not linked in, so a missed one cannot slip through.
// clang-format off
#define QAVO_OPENSSL_CALLS(X) \
    X(TLS_client_method) \
    X(SSL_CTX_new) \
    X(SSL_CTX_free) \
    X(SSL_CTX_ctrl) \
    X(SSL_CTX_set_verify) \
    X(SSL_CTX_set_options) \
    X(SSL_CTX_set_default_read_buffer_len) \
    X(SSL_CTX_set_default_verify_paths) \
    X(SSL_CTX_load_verify_locations) \
    X(SSL_CTX_get_cert_store) \
    X(X509_STORE_add_cert) \
    X(X509_free) \
    X(BIO_new_mem_buf) \
    X(BIO_free) \
    X(PEM_read_bio_X509) \
    X(SSL_new) \
    X(SSL_free) \
    X(SSL_ctrl) \
    X(SSL_set_fd) \
    X(SSL_set_hostflags) \
    X(SSL_get0_param) \
    X(SSL_set1_host) \
    X(SSL_connect) \
    X(SSL_get_error) \
    X(SSL_get_verify_result) \
    X(SSL_read_ex) \
    X(SSL_write_ex) \
    X(SSL_peek_ex) \
    X(SSL_has_pending) \
    X(SSL_shutdown) \
    X(X509_VERIFY_PARAM_set1_ip_asc) \
    X(X509_verify_cert_error_string) \
    X(ERR_clear_error) \
    X(ERR_peek_error) \
    X(ERR_reason_error_string)

// Every call of the digests and signatures (support/crypto.cpp).
#define QAVO_LIBCRYPTO_CALLS(X) \
    X(EVP_sha256) \
    X(EVP_MD_fetch) \
    X(EVP_MD_CTX_new) \
    X(EVP_MD_CTX_free) \
    X(EVP_MD_CTX_copy_ex) \
    X(EVP_DigestInit_ex) \
    X(EVP_DigestUpdate) \
    X(EVP_DigestFinal_ex) \
    X(EVP_DigestVerifyInit) \
    X(EVP_DigestVerify) \
    X(EVP_PKEY_new_raw_public_key) \
    X(EVP_PKEY_free)
// clang-format on

struct OpenSsl {
#define QAVO_OPENSSL_FIELD(name) decltype(&::name) name = nullptr;
    QAVO_OPENSSL_CALLS(QAVO_OPENSSL_FIELD)
#undef QAVO_OPENSSL_FIELD
};

// The calls, loaded on the first use and kept for the process; null when
// the library (or one of the calls) cannot be had, with the loader's
// reason in `why`.
const OpenSsl *openssl(std::string &why);

struct LibCrypto {
#define QAVO_LIBCRYPTO_FIELD(name) decltype(&::name) name = nullptr;
    QAVO_LIBCRYPTO_CALLS(QAVO_LIBCRYPTO_FIELD)
#undef QAVO_LIBCRYPTO_FIELD
};

// libcrypto's calls alone, loaded likewise on their first use.
const LibCrypto *libcrypto(std::string &why);
