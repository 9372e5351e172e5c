// The manifest's text: one strict reading, one writing.
#include "integrity/manifest.h"

#include <limits>
#include <unordered_set>

#include "integrity/signed_text.h"

namespace {

constexpr std::string_view kHeader = "qavo-manifest 1";
constexpr int64_t kSizeMax = std::numeric_limits<int32_t>::max();

bool parse_file(std::string_view rest, ManifestFile &file) {
    std::string_view digest, size;
    if (!next_word(rest, digest) || !next_word(rest, size)) return false;
    if (!read_hex(digest, file.sha256) || !read_decimal(size, kSizeMax, file.size)) return false;
    if (rest.empty() || !printable(rest)) return false;
    file.sitepath = std::string(rest);
    return true;
}

}  // namespace

std::string manifest_parse(std::string_view text, Manifest &manifest) {
    manifest = Manifest();
    LineReader reader(text);
    if (std::string opening =
            read_opening(text, kManifestSizeLimit, kHeader, reader, manifest.serial);
        !opening.empty())
        return opening;
    std::string_view line;
    if (!reader.line(line) || !keyword(line, "expires") ||
        !read_decimal(line, std::numeric_limits<int64_t>::max(), manifest.expires))
        return reader.expected("expires <decimal>");
    if (!reader.line(line) || !keyword(line, "catalogue") || !read_hex(line, manifest.catalogue))
        return reader.expected("catalogue <sha256>");

    std::unordered_set<std::string> seen;
    for (;;) {
        if (!reader.line(line)) return reader.expected(kSignatureLine);
        if (keyword(line, "file")) {
            ManifestFile file;
            if (!parse_file(line, file)) return reader.expected("file <sha256> <size> <sitepath>");
            if (!seen.insert(file.sitepath).second)
                return reader.wrong("file " + file.sitepath + " listed twice");
            manifest.files.push_back(std::move(file));
            continue;
        }
        return read_close(reader, line, manifest.keyid, manifest.signature, manifest.signed_length);
    }
}

std::string manifest_hex(const uint8_t *bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (size_t i = 0; i < size; i++) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0f];
    }
    return text;
}

std::string manifest_body(const Manifest &manifest) {
    std::string text = std::string(kHeader) + "\n";
    text += "serial " + std::to_string(manifest.serial) + "\n";
    text += "expires " + std::to_string(manifest.expires) + "\n";
    text +=
        "catalogue " + manifest_hex(manifest.catalogue.data(), manifest.catalogue.size()) + "\n";
    for (const ManifestFile &file : manifest.files) {
        text += "file " + manifest_hex(file.sha256.data(), file.sha256.size()) + " " +
                std::to_string(file.size) + " " + file.sitepath + "\n";
    }
    return text;
}

std::string manifest_signature_line(const ManifestKeyId &keyid,
                                    const ManifestSignature &signature) {
    return "signature ed25519 " + manifest_hex(keyid.data(), keyid.size()) + " " +
           manifest_hex(signature.data(), signature.size()) + "\n";
}
