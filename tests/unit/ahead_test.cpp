// Work handed to a second core: a long copy's digest and the states of installed files must
// be those taken in line, whatever the order asked and wherever a transfer breaks off; the
// flushes of copies are all made before their flusher ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/installed.h"
#include "integrity/md5.h"
#include "support/copy_flusher.h"
#include "support/descriptor.h"
#include "support/temp_copy.h"
#include "test_util.h"

namespace {

std::string_view text(const Bytes &bytes, size_t length) {
    return {reinterpret_cast<const char *>(bytes.data()), length};
}

// The copy's record carries the MD5 of the first `length` bytes of `data`.
void expect_digest_of(const FileRecord &file, const Bytes &data, size_t length) {
    ASSERT_TRUE(file.copy_digest_set);
    EXPECT_EQ(file.copy_digest_bytes, length);
    uint8_t digest[kMd5DigestSize];
    md5_of(text(data, length), digest);
    EXPECT_EQ(memcmp(file.copy_digest.data(), digest, kMd5DigestSize), 0) << length;
}

int break_after = 0;  // what breaking_read still delivers

int breaking_read(Io &io, int descriptor, char *buffer, int length) {
    if (break_after <= 0) return -1;
    const int count = file_read(io, descriptor, buffer, std::min(length, break_after));
    if (count > 0) break_after -= count;
    return count;
}

// "@" stands for the scratch folder; "unset" has no value.
struct Paths : Installer {
    std::string folder;
    int expansions = 0;
    bool expand_path(std::string &path) override {
        expansions++;
        if (path.find('@') == std::string::npos) return false;
        path.replace(path.find('@'), 1, folder);
        return true;
    }
    int install_file(InstallStep, const std::string &, const std::string &, bool) override {
        return -1;
    }
};

// A flush that waits for the gate; entered tells that one is under way.
// The third fails.
std::atomic<bool> entered, gate;
std::atomic<int> syncs;
int gated_sync(int) {
    entered = true;
    entered.notify_all();
    gate.wait(false);
    return ++syncs == 3 ? -1 : 0;
}

}  // namespace

TEST(DigestAside, LongCopiesCarryTheDigestOfWhatTheyHold) {
    Recorder recorder;
    ScratchDir scratch;
    const Bytes data = random_bytes(3 * 1024 * 1024 + 12345, 7);
    const std::string source = scratch.write("source", data);
    FileRecord file;
    file.tempfile = scratch.file("copy");
    file.size = static_cast<int32_t>(data.size());
    // From the first byte, resumed after a few, broken off within a buffer
    // and around the end of one (handed from 1 MiB on, in 128 KiB).
    constexpr int kEnd = (1 << 20) + 2 * (128 << 10);
    const std::pair<size_t, int> rows[] = {{0, 0},        {100, 0},  {0, 2500000},
                                           {0, kEnd - 1}, {0, kEnd}, {0, kEnd + 1}};
    for (const auto &[held, delivered] : rows) {
        scratch.write("copy", Bytes(data.begin(), data.begin() + static_cast<ptrdiff_t>(held)));
        chmod(file.tempfile.c_str(), 0600);
        TempCopy copy;
        ASSERT_EQ(copy.open(recorder.context.io, file, CopyUse::kResume), 1);
        Descriptor from{open(source.c_str(), O_RDONLY)};
        ASSERT_EQ(lseek(from.fd, static_cast<off_t>(held), SEEK_SET), static_cast<off_t>(held));
        break_after = delivered;
        uint32_t remaining = kTransferAll;
        EXPECT_EQ(copy.receive(from.fd, remaining, delivered != 0 ? breaking_read : file_read),
                  delivered != 0 ? CopyOutcome::kFailed : CopyOutcome::kReceived);
        const size_t holds = delivered != 0 ? held + delivered : data.size();
        EXPECT_EQ(copy.held(), holds);
        copy.settle();
        expect_digest_of(file, data, holds);
    }
}

// A body that comes in many receives (a frame or a chunk at a time) keeps
// its second core from one to the next; the record learns the digest when
// the copy settles, and appending takes over from receiving in order.
TEST(DigestAside, ABodyReceivedInPiecesIsDigestedWhole) {
    Recorder recorder;
    ScratchDir scratch;
    const Bytes data = random_bytes(3 * 1024 * 1024 + 999, 11);
    Descriptor from{open(scratch.write("source", data).c_str(), O_RDONLY)};
    FileRecord file;
    file.tempfile = scratch.file("copy");
    file.size = static_cast<int32_t>(data.size());
    TempCopy copy;
    ASSERT_EQ(copy.open(recorder.context.io, file, CopyUse::kPrepare), 0);
    ASSERT_EQ(copy.open(recorder.context.io, file, CopyUse::kEmpty), 1);
    const auto receive_up_to = [&](size_t end) {
        while (copy.held() < end) {
            uint32_t piece = static_cast<uint32_t>(std::min<size_t>(50000, end - copy.held()));
            ASSERT_EQ(copy.receive(from.fd, piece, file_read), CopyOutcome::kReceived);
        }
    };
    receive_up_to(2 << 20);
    EXPECT_FALSE(file.copy_digest_set);  // a second core has the digest
    receive_up_to(data.size());
    copy.settle();
    expect_digest_of(file, data, data.size());
    // Emptied while that core may still hold bytes, then received again and
    // appended to.
    ASSERT_EQ(copy.truncate(), 0);
    ASSERT_EQ(lseek(from.fd, 0, SEEK_SET), 0);
    receive_up_to(3 << 19);
    ASSERT_EQ(copy.append(reinterpret_cast<const char *>(data.data()) + (3 << 19), 1000), 0);
    copy.finish_append();
    copy.settle();
    expect_digest_of(file, data, (3 << 19) + 1000);
}

TEST(DigestAside, AppendedBytesAreDigestedInOrderAndEachRestartForgetsThem) {
    Recorder recorder;
    ScratchDir scratch;
    const Bytes data = random_bytes(9 * 1024 * 1024 + 777, 9);
    FileRecord file;
    file.tempfile = scratch.file("copy");
    file.size = static_cast<int32_t>(data.size());
    scratch.write("copy", Bytes{});
    chmod(file.tempfile.c_str(), 0600);
    TempCopy copy;
    ASSERT_EQ(copy.open(recorder.context.io, file, CopyUse::kEmpty), 1);
    // Pieces below and across the point where a second core takes over, and
    // a restart in the middle of a lent stretch.
    const auto append_all = [&](std::initializer_list<size_t> pieces) {
        size_t at = 0;
        for (const size_t piece : pieces) {
            ASSERT_EQ(copy.append(reinterpret_cast<const char *>(data.data()) + at,
                                  static_cast<uint32_t>(piece)),
                      0);
            at += piece;
        }
        copy.finish_append();
        expect_digest_of(file, data, at);
    };
    append_all({1000, (1 << 20) - 1000, 3 << 20});
    ASSERT_EQ(copy.append(reinterpret_cast<const char *>(data.data()), 5 << 20), 0);
    ASSERT_EQ(copy.truncate(), 0);  // while the second core may still digest them
    append_all({100, 2 << 20, 1, (1 << 20) + 20});
    ASSERT_EQ(copy.truncate(), 0);
    append_all({data.size()});
    // Past the bound nothing is written, and what was lent is settled.
    EXPECT_EQ(copy.append(reinterpret_cast<const char *>(data.data()), 1), -1);
    copy.finish_append();
    EXPECT_EQ(file.copy_digest_bytes, data.size());
}

TEST(CheckAhead, AnswersAsTheFilesStandWhateverTheOrderOfAsking) {
    Recorder recorder;
    ScratchDir scratch;
    Paths paths;
    paths.folder = scratch.path;
    recorder.context.installer = &paths;
    std::vector<std::unique_ptr<FileRecord>> files;
    std::vector<int> states;  // current, other bytes of the size, absent, another size
    for (int i = 0; i < 48; i++) {
        const std::string name = "f" + std::to_string(i);
        // The first two current and long: the walk asks for the second while
        // the worker still digests it.
        const int kind = i < 2 ? 0 : i % 4;
        Bytes content(i < 2 ? size_t{4} << (20 + i) : size_t(100 + i), static_cast<uint8_t>(i));
        auto &file = *files.emplace_back(std::make_unique<FileRecord>());
        file.sitepath = name;
        file.localpath = i == 40 ? "unset" : "@/" + name;
        file.size = static_cast<int32_t>(content.size());
        md5_of(text(content, content.size()), file.md5);
        states.push_back(kind == 0 ? 1 : kind == 1 ? 0 : -1);
        if (kind == 1) content[0] ^= 1;
        if (kind == 3) content.push_back(0);
        if (kind != 2) scratch.write(name, content);
    }
    CheckAhead ahead(&recorder.context, files);
    EXPECT_EQ(paths.expansions, 41);  // up to the first that cannot be expanded
    // In order with gaps, then the ones passed over, then beyond the gap.
    std::vector<int> order;
    for (int i = 0; i < 40; i++)
        if (i % 7 != 3) order.push_back(i);
    for (int i = 3; i < 40; i += 7) order.push_back(i);
    for (int i = 41; i < 48; i++) order.push_back(i);
    for (int i : order) {
        ASSERT_TRUE(expand_localpath(&recorder.context, *files[i]));
        EXPECT_EQ(ahead.state(*files[i]), states[i]) << i;
    }
    EXPECT_EQ(paths.expansions, 48);  // each path once
    EXPECT_EQ(*files[5]->localpath, scratch.file("f5"));
}

TEST(CopyFlusher, FlushesAllItWasHandedBeforeItEndsAndSaysWhichReachedTheDisk) {
    Descriptor copy{open("/dev/null", O_RDONLY)};
    for (const int handed : {1, 5, 7}) {
        syncs = 0;
        entered = gate = false;
        bool durable[7] = {};
        {
            CopyFlusher flusher(gated_sync);
            flusher.flush(copy.fd, &durable[0]);
            entered.wait(false);  // the first is under way, four more may wait
            for (int i = 1; i < handed; i++) flusher.flush(copy.fd, &durable[i]);
            gate = true;
            gate.notify_all();
        }
        const int flushed = std::min(handed, 5);
        EXPECT_EQ(syncs, flushed) << handed;
        // Neither a copy left out nor one whose flush failed is durable.
        for (int i = 0; i < 7; i++) EXPECT_EQ(durable[i], i < flushed && i != 2) << handed << i;
    }
}
