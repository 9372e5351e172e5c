// The fetcher's channel: every message comes back as it was sent, a frame cut short waits for
// the rest, and a malformed frame is refused however it is malformed.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "test_util.h"
#include "transfer/channel_port.h"
#include "transfer/fetch_channel.h"

namespace {

std::string u32(uint32_t value) {
    std::string bytes;
    for (int32_t i = 0; i < 4; i++) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    return bytes;
}
std::string head(uint32_t length, uint8_t type) {
    return u32(length) + static_cast<char>(type);
}
std::string frame(uint8_t type, const std::string &fields) {
    return head(static_cast<uint32_t>(1 + fields.size()), type) + fields;
}
std::string str(const std::string &text) {
    return u32(static_cast<uint32_t>(text.size())) + text;
}
// A look ahead of `count` files, each a valid record.
std::string ahead(uint32_t count) {
    std::string fields = u32(9) + u32(0) + u32(count);
    const std::string file = str("f") + u32(1) + u32(2) + u32(3) + std::string("\1\0\1", 3);
    for (uint32_t i = 0; i < count; i++) fields += file;
    return frame(ask::LookAhead::kType, fields);
}

// One of each alternative, in the variant's order, no field left at its default.
std::vector<Message> every_message() {
    const WireFile a{"pub/qavo/a.bin", 11, 12, 13, 1, 0, 1};
    const WireFile b{"pub/qavo/b b\xe9.bin", -7, 0x7fffffff, 0xfffffffe, 0, 1, 0};
    const CopyState copy{2, 0, 4096, 13};
    const WirePeers peers{1, "127.0.0.1", 40001, 1, "mirror.example", 21};
    // clang-format off
    return {ask::Start{"_qavoupdate", 10, {{"http://a/x.info"}, {"https://b:8443/x.info"}}, 1,
                       "http://proxy:3128", 1, "/etc/ssl/ca b.pem", 1},
            ask::Open{9, kPluginHttp, "http://mirror/pub/", 4}, ask::Close{9, {30, 12}},
            ask::LookAhead{9, 2, {a, b, a}}, ask::Run{9, b, 3, {30, 5}, copy},
            ask::CopyReply{copy}, ask::KeptReply{1, "\"e1\"", "Tue, 01 Jan 2030 00:00:00 GMT"},
            ask::Refused{0xfffffff0}, tell::Started{1, 1, 2, 4, "Landlock: no ABI 4 (Invalid argument)"},
            tell::Opened{1}, tell::Closed{}, tell::Prepared{1}, tell::CopyOpen{3},
            tell::CopyTruncate{}, tell::CopyRewind{}, tell::Body{kBodyChunkLimit}, tell::Piped{kPipedLimit},
            tell::KeptFind{"key-a"}, tell::KeptFill{"key-b"}, tell::CopyReport{},
            tell::AttemptDone{4, int64_t{1} << 40, 17, 2, {1, "k", "\"e\"", "lm", 1, 1}},
            tell::Ahead{a, {20, 0}},
            tell::Error{3, -2, "connect", "refused by peer"}, tell::Spin{3, 10},
            tell::Connecting{peers}, tell::SentLine{"RETR a.bin"},
            tell::ReceivedLine{"150 here\r\n"}, tell::DataReady{}, tell::Timeout{},
            tell::ConnectionClosed{peers}, tell::Progress{}, tell::TransferDone{}};
    // clang-format on
}

TEST(FetchChannel, EveryMessageRoundTrips) {
    const std::vector<Message> messages = every_message();
    ASSERT_EQ(messages.size(), std::variant_size_v<Message>);
    for (size_t i = 0; i < messages.size(); i++) {
        ASSERT_EQ(messages[i].index(), i);
        std::string bytes;
        channel_encode(bytes, messages[i]);
        const Decoded decoded = channel_decode(bytes);
        ASSERT_EQ(decoded.end, DecodeEnd::kMessage) << i << ": " << decoded.why;
        EXPECT_EQ(decoded.used, bytes.size()) << i;
        EXPECT_EQ(decoded.message.index(), i);  // no two types share a number
        std::string again;
        channel_encode(again, decoded.message);
        EXPECT_EQ(again, bytes) << i;
        // Cut anywhere short of its end, a frame is not yet there.
        for (size_t cut = 0; cut < bytes.size(); cut++)
            EXPECT_EQ(channel_decode(std::string_view(bytes).substr(0, cut)).end,
                      DecodeEnd::kIncomplete)
                << i << " cut at " << cut;
    }
    // The bytes on the wire: little-endian, strings counted.
    std::string open;
    channel_encode(open, ask::Open{0x01020304, kPluginFtp, "u", -2});
    EXPECT_EQ(open,
              std::string("\x0f\0\0\0\x01\x04\x03\x02\x01\x01\x01\0\0\0u\xfe\xff\xff\xff", 19));
    // The announced length leaves the header out; a cut header announces none.
    EXPECT_EQ(channel_frame_length(open), 15);
    EXPECT_EQ(channel_frame_length(open.substr(0, 3)), -1);
}

TEST(FetchChannel, HostileFramesAreRefused) {
    using enum DecodeEnd;
    constexpr uint8_t kName = tell::KeptFind::kType, kText = tell::SentLine::kType;
    constexpr uint8_t kByte = tell::Opened::kType, kNone = tell::Closed::kType;
    const std::string next = frame(kNone, "");  // what a short frame must not take
    const auto body = [](uint32_t length, uint32_t chunk) {
        return head(length, tell::Body::kType) + u32(chunk) + "raw bytes";
    };
    // clang-format off
    const std::vector<std::pair<std::string, DecodeEnd>> kCases = {
        // Unknown types, an empty frame; a length over the limit condemns a frame by its header.
        {frame(0, ""), kRefused}, {frame(8, ""), kRefused}, {frame(15, "") + next, kRefused},
        {frame(42, ""), kRefused}, {frame(255, ""), kRefused}, {u32(0) + next, kRefused},
        {head(kFrameLimit + 2, kText), kRefused}, {head(0xffffffff, kText), kRefused},
        {head(kFrameLimit + kBodyChunkLimit + 2, tell::Body::kType), kRefused},
        {head(kFrameLimit + 1, kText), kIncomplete},
        // Strings: their bounds, and the characters their kind forbids (a text keeps line ends).
        {frame(kName, str(std::string(kNameLimit + 1, 'k'))), kRefused},
        {frame(kName, str(std::string(kNameLimit, 'k'))), kMessage},
        {frame(kText, str(std::string(kTextLimit + 1, 't'))), kRefused},
        {frame(kText, str(std::string(kTextLimit, 't'))), kMessage},
        {frame(kName, str("a\nb")), kRefused}, {frame(kName, str("a\x01")), kRefused},
        {frame(kName, str("\x7f")), kRefused}, {frame(kName, str("\x1f")), kRefused},
        {frame(kName, str("a\tb")), kRefused}, {frame(kName, str({"a\0b", 3})), kRefused},
        {frame(kText, str("a\rb\n")), kMessage}, {frame(kText, str("\x01\x7f")), kMessage},
        {frame(kText, str({"a\0b", 3})), kRefused},
        // An error's text is printed as one line: no terminal control sequence.
        {frame(tell::Error::kType, u32(4) + u32(1) + str("recv") + str("bad \x1b[2J")), kRefused},
        {frame(tell::Error::kType, u32(4) + u32(1) + str("recv") + str("bad (\xe9)")), kMessage},
        {frame(tell::Error::kType, u32(1) + u32(2) + str("call") + str({"a\0", 2})), kRefused},
        {ahead(kAheadLimit), kMessage}, {ahead(kAheadLimit + 1), kRefused},
        // Bytes after the last field; a field past the frame, though the stream holds more.
        {frame(kByte, std::string("\1\0", 2)), kRefused}, {frame(kNone, "x"), kRefused},
        {frame(kName, str("k") + '\0'), kRefused}, {frame(kByte, "") + next, kRefused},
        {frame(tell::Spin::kType, u32(1) + std::string("\2\0", 2)) + next, kRefused},
        {frame(kName, u32(10) + "abc") + next + next, kRefused},
        {frame(ask::Run::kType, u32(9)) + next + next, kRefused},
        // Bodies: a chunk of 0 or over its limit, a frame length not its own.
        {body(5, 0), kRefused}, {body(5 + kBodyChunkLimit + 1, kBodyChunkLimit + 1), kRefused},
        {body(5 + 9, 10), kRefused}, {body(5 + 11, 10), kRefused}, {body(1, 4), kRefused},
        {body(5 + 1, 1), kMessage},
        // Notices of piped bytes: none, or more than the pipe holds.
        {frame(tell::Piped::kType, u32(0)), kRefused}, {frame(tell::Piped::kType, u32(kPipedLimit + 1)), kRefused},
        {frame(tell::Piped::kType, u32(kPipedLimit)), kMessage}};
    // clang-format on
    for (size_t i = 0; i < kCases.size(); i++) {
        const Decoded decoded = channel_decode(kCases[i].first);
        EXPECT_EQ(decoded.end, kCases[i].second) << "case " << i << ": " << decoded.why;
        EXPECT_EQ(decoded.why.empty(), decoded.end != DecodeEnd::kRefused) << "case " << i;
    }
}

// The updater's words on the files ahead wait while the fetcher's messages
// are there to read, and go out before the updater waits for more: held
// past that, both sides would wait for each other.
TEST(ChannelPort, HeldWordsWaitForTheMessagesAlreadyInAndGoOutBeforeAWait) {
    SocketPair pair;
    ChannelPort port(std::exchange(pair.ends[0], -1), true);
    std::string two;
    channel_encode(two, tell::Prepared{1});
    channel_encode(two, tell::Prepared{0});
    ASSERT_EQ(send(pair.ends[1], two.data(), two.size(), 0), ssize_t(two.size()));
    port.send_held(ask::Refused{7});
    Io io;
    char probe;
    for (const uint8_t ok : {1, 0}) {
        const std::optional<Message> message = port.next(io);
        ASSERT_TRUE(message);
        EXPECT_EQ(std::get<tell::Prepared>(*message).ok, ok);
        EXPECT_EQ(recv(pair.ends[1], &probe, 1, MSG_DONTWAIT), -1) << "the word went out early";
    }
    // This fetcher answers once it has the word, and gives up after a while.
    std::thread fetcher([end = pair.ends[1]] {
        const timeval patience{5, 0};
        setsockopt(end, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        std::string word(64, '\0');
        const ssize_t got = recv(end, word.data(), word.size(), 0);
        word.resize(static_cast<size_t>(std::max<ssize_t>(got, 0)));
        const Decoded decoded = channel_decode(word);
        if (decoded.end == DecodeEnd::kMessage && decoded.used == word.size() &&
            std::get_if<ask::Refused>(&decoded.message) != nullptr &&
            std::get<ask::Refused>(decoded.message).session == 7) {
            std::string answer;
            channel_encode(answer, tell::Closed{});
            (void)send(end, answer.data(), answer.size(), 0);
        }
        shutdown(end, SHUT_WR);
    });
    const std::optional<Message> answer = port.next(io);
    fetcher.join();
    ASSERT_TRUE(answer) << port.why();
    EXPECT_TRUE(std::holds_alternative<tell::Closed>(*answer));
}

}  // namespace
