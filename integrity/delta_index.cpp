// The patch index's text: one strict reading, one writing, in the
// manifest's manner and with its readers.
#include "integrity/delta_index.h"

#include <limits>
#include <set>
#include <utility>

#include "integrity/signed_text.h"

namespace {

constexpr std::string_view kHeader = "qavo-delta 1";
constexpr std::string_view kPatchLine =
    "patch <sitepath> <base sha256> <target sha256> <size> <patch sha256> <patch sitepath>";

bool parse_patch(std::string_view rest, DeltaPatch &patch) {
    std::string_view sitepath, base, target, size, sha256;
    if (!next_word(rest, sitepath) || !next_word(rest, base) || !next_word(rest, target) ||
        !next_word(rest, size) || !next_word(rest, sha256))
        return false;
    // The last name ends the line: a space there would be a seventh word.
    if (sitepath.empty() || !printable(sitepath) || rest.empty() || !printable(rest) ||
        rest.find(' ') != std::string_view::npos)
        return false;
    if (!read_hex(base, patch.base) || !read_hex(target, patch.target) ||
        !read_decimal(size, std::numeric_limits<int32_t>::max(), patch.size) || patch.size == 0 ||
        !read_hex(sha256, patch.sha256))
        return false;
    patch.sitepath = std::string(sitepath);
    patch.patch_sitepath = std::string(rest);
    return true;
}

}  // namespace

std::string delta_index_parse(std::string_view text, DeltaIndex &index) {
    index = DeltaIndex();
    LineReader reader(text);
    if (std::string opening =
            read_opening(text, kDeltaIndexSizeLimit, kHeader, reader, index.serial);
        !opening.empty())
        return opening;
    std::string_view line;

    std::set<std::pair<std::string, ManifestDigest>> seen;
    for (;;) {
        if (!reader.line(line)) return reader.expected(kSignatureLine);
        if (keyword(line, "patch")) {
            DeltaPatch patch;
            if (!parse_patch(line, patch)) return reader.expected(kPatchLine);
            if (!seen.emplace(patch.sitepath, patch.base).second)
                return reader.wrong("patch of " + patch.sitepath + " from " +
                                    manifest_hex(patch.base.data(), patch.base.size()) +
                                    " listed twice");
            index.patches.push_back(std::move(patch));
            continue;
        }
        return read_close(reader, line, index.keyid, index.signature, index.signed_length);
    }
}

std::string delta_index_body(const DeltaIndex &index) {
    std::string text = std::string(kHeader) + "\n";
    text += "serial " + std::to_string(index.serial) + "\n";
    for (const DeltaPatch &patch : index.patches) {
        text += "patch " + patch.sitepath + " " +
                manifest_hex(patch.base.data(), patch.base.size()) + " " +
                manifest_hex(patch.target.data(), patch.target.size()) + " " +
                std::to_string(patch.size) + " " +
                manifest_hex(patch.sha256.data(), patch.sha256.size()) + " " +
                patch.patch_sitepath + "\n";
    }
    return text;
}

const DeltaPatch *delta_index_find(const DeltaIndex &index, std::string_view sitepath,
                                   const ManifestDigest &base, const ManifestDigest &target) {
    for (const DeltaPatch &patch : index.patches) {
        if (patch.sitepath == sitepath && patch.base == base && patch.target == target)
            return &patch;
    }
    return nullptr;
}
