// SHA-256 and Ed25519 through libcrypto's EVP interface.
#include "support/crypto.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/openssl.h"

namespace {

const LibCrypto *crypto() {
    std::string why;
    return libcrypto(why);
}

// Large enough that a read costs little next to the digest, small enough
// for the stack.
constexpr size_t kReadChunk = 64 * 1024;

// SHA-256 as libcrypto's default provider implements it, looked up once: a
// digest started from EVP_sha256() looks it up again at every start, which
// a run over thousands of small files would pay for thousands of times.
// Kept for the process, like the library.
const EVP_MD *sha256_method(const LibCrypto *calls) {
    static const EVP_MD *const method = [calls] {
        const EVP_MD *fetched = calls->EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
        return fetched != nullptr ? fetched : calls->EVP_sha256();
    }();
    return method;
}

}  // namespace

std::string crypto_unavailable() {
    std::string why;  // left empty when the library is loaded
    libcrypto(why);
    return why;
}

struct Sha256::Context {
    const LibCrypto *calls = nullptr;
    EVP_MD_CTX *digest = nullptr;
    Context(const LibCrypto *loaded, EVP_MD_CTX *made) : calls(loaded), digest(made) {}
    ~Context() { calls->EVP_MD_CTX_free(digest); }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
};

Sha256::Sha256() {
    const LibCrypto *calls = crypto();
    if (calls == nullptr) return;
    EVP_MD_CTX *digest = calls->EVP_MD_CTX_new();
    if (digest == nullptr) return;
    auto context = std::make_unique<Context>(calls, digest);
    if (calls->EVP_DigestInit_ex(digest, sha256_method(calls), nullptr) != 1) return;
    context_ = std::move(context);
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256 &&other) noexcept = default;
Sha256 &Sha256::operator=(Sha256 &&other) noexcept = default;

bool Sha256::ok() const {
    return context_ != nullptr;
}

bool Sha256::update(const void *data, size_t size) {
    if (!context_) return false;
    length_ += size;
    return size == 0 || context_->calls->EVP_DigestUpdate(context_->digest, data, size) == 1;
}

bool Sha256::update_fd(int descriptor, int64_t length) {
    uint8_t buffer[kReadChunk];
    while (length > 0) {
        const size_t want =
            length < static_cast<int64_t>(kReadChunk) ? static_cast<size_t>(length) : kReadChunk;
        const ssize_t got = read(descriptor, buffer, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        if (!update(buffer, static_cast<size_t>(got))) return false;
        length -= got;
    }
    return true;
}

bool Sha256::finish(Sha256Value &digest) {
    if (!context_) return false;
    const LibCrypto *calls = context_->calls;
    unsigned int size = 0;
    const bool done = calls->EVP_DigestFinal_ex(context_->digest, digest.data(), &size) == 1 &&
                      size == digest.size();
    length_ = 0;
    if (calls->EVP_DigestInit_ex(context_->digest, sha256_method(calls), nullptr) != 1)
        context_.reset();
    return done;
}

bool Sha256::peek(Sha256Value &digest) const {
    if (!context_) return false;
    const LibCrypto *calls = context_->calls;
    EVP_MD_CTX *copy = calls->EVP_MD_CTX_new();
    if (copy == nullptr) return false;
    Context owned(calls, copy);
    unsigned int size = 0;
    return calls->EVP_MD_CTX_copy_ex(copy, context_->digest) == 1 &&
           calls->EVP_DigestFinal_ex(copy, digest.data(), &size) == 1 && size == digest.size();
}

bool sha256_fd(int descriptor, int64_t length, Sha256Value &digest) {
    Sha256 sha;
    return sha.update_fd(descriptor, length) && sha.finish(digest);
}

bool sha256_of(std::string_view data, Sha256Value &digest) {
    Sha256 sha;
    return sha.update(data.data(), data.size()) && sha.finish(digest);
}

bool ed25519_key_id(const std::array<uint8_t, 32> &public_key, std::array<uint8_t, 8> &id) {
    Sha256Value digest;
    if (!sha256_of({reinterpret_cast<const char *>(public_key.data()), public_key.size()}, digest))
        return false;
    std::copy_n(digest.begin(), id.size(), id.begin());
    return true;
}

bool ed25519_verify(const std::array<uint8_t, 32> &public_key, std::string_view message,
                    const std::array<uint8_t, 64> &signature) {
    const LibCrypto *calls = crypto();
    if (calls == nullptr) return false;
    const std::unique_ptr<EVP_PKEY, decltype(calls->EVP_PKEY_free)> key(
        calls->EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(),
                                           public_key.size()),
        calls->EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(calls->EVP_MD_CTX_free)> context(
        calls->EVP_MD_CTX_new(), calls->EVP_MD_CTX_free);
    // Ed25519 signs the message itself in one pass: no digest is named.
    return key && context &&
           calls->EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           calls->EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                   reinterpret_cast<const unsigned char *>(message.data()),
                                   message.size()) == 1;
}
