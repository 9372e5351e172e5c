// The fetcher's channel: every message spelled by one walk over its fields,
// and read back by the same walk with every bound checked.
#include "transfer/fetch_channel.h"

#include <cstring>
#include <type_traits>

#include "support/temp_copy.h"

namespace {

template <class T>
concept HasFields = requires(T &value) {
    value.fields([](auto &&...) {});
};

class FieldWriter {
   public:
    explicit FieldWriter(std::string &out) : out_(out) {}
    template <class T>
    requires std::is_integral_v<T>
    void operator()(const T &value) {
        using U = std::make_unsigned_t<T>;
        U bits = static_cast<U>(value);
        for (size_t i = 0; i < sizeof(T); i++) {
            out_.push_back(static_cast<char>(bits & 0xff));
            if constexpr (sizeof(T) > 1) bits >>= 8;
        }
    }
    void operator()(const std::string &text, StringKind) {
        (*this)(static_cast<uint32_t>(text.size()));
        out_.append(text);
    }
    template <class T>
    void operator()(const std::vector<T> &items, uint32_t) {
        (*this)(static_cast<uint32_t>(items.size()));
        for (const T &item : items) (*this)(item);
    }
    template <HasFields T>
    void operator()(const T &record) {
        // The walk only reads: the same member function serves both ways.
        const_cast<T &>(record).fields(*this);
    }

   private:
    std::string &out_;
};

bool allowed(std::string_view text, StringKind kind) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (kind != StringKind::kText && (byte < 0x20 || byte == 0x7f)) return false;
        if (c == '\0') return false;
    }
    return true;
}

class FieldReader {
   public:
    explicit FieldReader(std::string_view bytes) : bytes_(bytes) {}
    template <class T>
    requires std::is_integral_v<T>
    void operator()(T &value) {
        using U = std::make_unsigned_t<T>;
        if (!take(sizeof(T))) return;
        U bits = 0;
        for (size_t i = sizeof(T); i-- > 0;) {
            if constexpr (sizeof(T) > 1) bits <<= 8;
            bits |= static_cast<U>(static_cast<unsigned char>(bytes_[at_ - sizeof(T) + i]));
        }
        value = static_cast<T>(bits);
    }
    void operator()(std::string &text, StringKind kind) {
        uint32_t size = 0;
        (*this)(size);
        if (failed()) return;
        if (size > (kind == StringKind::kName ? kNameLimit : kTextLimit))
            return refuse("a string over its limit");
        if (!take(size)) return;
        text.assign(bytes_.substr(at_ - size, size));
        if (!allowed(text, kind)) refuse("a string with a character it may not hold");
    }
    template <class T>
    void operator()(std::vector<T> &items, uint32_t limit) {
        uint32_t count = 0;
        (*this)(count);
        if (failed()) return;
        if (count > limit) return refuse("a list over its limit");
        items.resize(count);
        for (T &item : items) {
            (*this)(item);
            if (failed()) return;
        }
    }
    template <HasFields T>
    void operator()(T &record) {
        record.fields(*this);
    }

    bool failed() const { return !why_.empty(); }
    const std::string &why() const { return why_; }
    size_t at() const { return at_; }
    void refuse(const char *why) {
        if (why_.empty()) why_ = why;
    }

   private:
    bool take(size_t count) {
        if (failed()) return false;
        if (bytes_.size() - at_ < count) {
            refuse("a field past the end of its frame");
            return false;
        }
        at_ += count;
        return true;
    }

    std::string_view bytes_;
    size_t at_ = 0;
    std::string why_;
};

uint32_t read_u32(std::string_view bytes) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// The alternative of the variant whose type byte is `type`: its index, or
// the variant's size when none is.
template <size_t I = 0>
size_t index_of_type(uint8_t type) {
    if constexpr (I == std::variant_size_v<Message>) {
        return I;
    } else {
        if (std::variant_alternative_t<I, Message>::kType == type) return I;
        return index_of_type<I + 1>(type);
    }
}

template <size_t I = 0>
Message make_alternative(size_t index) {
    if constexpr (I + 1 == std::variant_size_v<Message>) {
        return Message{std::in_place_index<I>};
    } else {
        if (index == I) return Message{std::in_place_index<I>};
        return make_alternative<I + 1>(index);
    }
}

Decoded refused(const std::string &why) {
    Decoded decoded;
    decoded.end = DecodeEnd::kRefused;
    decoded.why = why;
    return decoded;
}

}  // namespace

WireFile wire_file(const FileRecord &file) {
    WireFile wire;
    wire.sitepath = file.sitepath.value_or("");
    wire.time = file.time;
    wire.size = file.size;
    wire.size_bound = file.size_bound;
    wire.optional = file.optional ? 1 : 0;
    wire.kept = file.kept ? 1 : 0;
    wire.kept_refused = file.kept && file.kept->refused ? 1 : 0;
    return wire;
}

WireKept wire_kept(const FileRecord &file) {
    WireKept wire;
    if (!file.kept) return wire;
    wire.present = 1;
    wire.key = file.kept->key;
    wire.etag = file.kept->etag;
    wire.last_modified = file.kept->last_modified;
    wire.reused = file.kept->reused ? 1 : 0;
    wire.refused = file.kept->refused ? 1 : 0;
    return wire;
}

WirePeers wire_peers(const Peers &peers) {
    WirePeers wire;
    wire.has_local = peers.local_host != nullptr ? 1 : 0;
    wire.local_host = peers.local_host != nullptr ? peers.local_host : "";
    wire.local_port = peers.local_port;
    wire.has_remote = peers.remote_host != nullptr ? 1 : 0;
    wire.remote_host = peers.remote_host != nullptr ? peers.remote_host : "";
    wire.remote_port = peers.remote_port;
    return wire;
}

Peers peers_of(const WirePeers &wire) {
    return Peers{wire.has_local ? wire.local_host.c_str() : nullptr, wire.local_port,
                 wire.has_remote ? wire.remote_host.c_str() : nullptr, wire.remote_port};
}

bool run_takes_ahead(const ask::Run *word, uint32_t session, const tell::Ahead &ahead) {
    return word != nullptr && word->session == session && word->attempt == 0 &&
           word->file == ahead.file && word->budget == ahead.budget &&
           word->offer.use == static_cast<uint8_t>(CopyUse::kEmpty) && word->offer.result >= 0 &&
           word->offer.held == 0;
}

void channel_encode(std::string &out, const Message &message) {
    const size_t start = out.size();
    out.append(kFrameHeader, '\0');
    std::visit(
        [&](const auto &value) {
            out[start + 4] = static_cast<char>(value.kType);
            FieldWriter writer(out);
            writer(value);
        },
        message);
    uint32_t length = static_cast<uint32_t>(out.size() - start - 4);
    if (const auto *body = std::get_if<tell::Body>(&message)) length += body->length;
    for (size_t i = 0; i < 4; i++) out[start + i] = static_cast<char>((length >> (8 * i)) & 0xff);
}

int64_t channel_frame_length(std::string_view bytes) {
    if (bytes.size() < 4) return -1;
    return read_u32(bytes);
}

Decoded channel_decode(std::string_view bytes) {
    if (bytes.size() < kFrameHeader) return {};
    const uint32_t length = read_u32(bytes);
    if (length < 1) return refused("an empty frame");
    const uint8_t type = static_cast<uint8_t>(bytes[4]);
    const size_t index = index_of_type(type);
    if (index == std::variant_size_v<Message>) return refused("a message of an unknown type");
    const bool body = type == tell::Body::kType;
    if (body && length < 1 + 4) return refused("a body frame without its length");
    if (length - 1 > kFrameLimit + (body ? kBodyChunkLimit : 0))
        return refused("a frame over the length limit");
    // A body's bytes are taken raw by the receiver, so its fields are
    // all that must be here.
    const size_t needed = body ? kFrameHeader + 4 : 4 + size_t{length};
    if (bytes.size() < needed) return {};
    Decoded decoded;
    decoded.message = make_alternative(index);
    FieldReader reader(bytes.substr(kFrameHeader, needed - kFrameHeader));
    std::visit([&](auto &value) { reader(value); }, decoded.message);
    if (reader.failed()) return refused(reader.why());
    if (reader.at() != needed - kFrameHeader) return refused("bytes left after the last field");
    if (body) {
        const uint32_t chunk = std::get<tell::Body>(decoded.message).length;
        if (chunk == 0) return refused("an empty body chunk");
        if (chunk > kBodyChunkLimit) return refused("a body chunk over its limit");
        if (length != 1 + 4 + chunk) return refused("a body whose frame length is not its own");
    }
    if (const auto *piped = std::get_if<tell::Piped>(&decoded.message)) {
        if (piped->length == 0) return refused("an empty piped chunk");
        if (piped->length > kPipedLimit) return refused("a piped chunk over its limit");
    }
    decoded.end = DecodeEnd::kMessage;
    decoded.used = needed;
    return decoded;
}
