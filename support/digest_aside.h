// The digest of a long transfer, made on a second core: while one buffer of
// received data (or of a decoded patch) is digested the next is received and
// written, so a download costs about the longer of the two instead of their
// sum.
#pragma once

#include <cstdint>
#include <memory>

#include "support/file_digest.h"
#include "support/worker.h"

// The first bytes of a transfer are digested where they are received: a
// shorter one would spend more on starting a thread than it saves.
constexpr uint32_t kDigestAsideFrom = uint32_t{1} << 20;

class DigestAside {
   public:
    // Adds what is received to the digest, in order; the digest is not
    // touched elsewhere until this is gone.
    explicit DigestAside(RunningDigest &digest);
    // Digests what was received, then stops the thread.
    ~DigestAside();
    DigestAside(const DigestAside &) = delete;
    DigestAside &operator=(const DigestAside &) = delete;

    // False when no thread could be started: the caller digests itself.
    bool running() const { return worker_.running(); }
    // Where the next bytes go, and how many fit there (at least one).
    char *space(int &room);
    // The first `count` bytes at space() were received; a full buffer goes
    // to the digest.
    void received(int count);
    // Adds bytes the caller keeps where they are, unchanged, until this is
    // gone: digested from there, without a copy.
    void lend(const char *data, int count);

   private:
    // A few hand-overs per MiB: each may wake the other side.
    static constexpr int kBuffer = 128 * 1024;
    static constexpr int kBuffers = 4;
    struct Piece {
        const char *data = nullptr;
        int size = 0;
    };
    void hand();

    RunningDigest &digest_;
    std::unique_ptr<char[]> buffers_;  // made on the first space()
    int filling_ = 0;  // the buffer being filled
    int fill_ = 0;     // its bytes so far
    // The ring's other buffers: queued, and the one being digested.
    Worker<Piece> worker_{kBuffers - 2, [this](Piece &piece) {
                              digest_.update(piece.data, static_cast<uint32_t>(piece.size));
                          }};
};
