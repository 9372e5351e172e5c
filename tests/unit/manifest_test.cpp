// The manifest's text: the parser reads back whole what the writer makes (the
// same text rewritten, the same record) and refuses any other spelling.
#include <tuple>

#include "integrity/manifest.h"
#include "test_util.h"

namespace {

Manifest sample(std::vector<std::string> sites) {
    Manifest manifest;
    manifest.serial = 1700000000;
    manifest.expires = 1700604800;
    manifest.catalogue.fill(0xab);
    for (size_t i = 0; i < sites.size(); i++) {
        ManifestFile &file = manifest.files.emplace_back();
        file.sha256.fill(static_cast<uint8_t>(i * 37));
        file.size = i == 1 ? INT32_MAX : static_cast<int64_t>(i);
        file.sitepath = sites[i];
    }
    manifest.keyid.fill(0x5c);
    manifest.signature.fill(0xe1);
    return manifest;
}

std::string text_of(const Manifest &manifest) {
    return manifest_body(manifest) + manifest_signature_line(manifest.keyid, manifest.signature);
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    return text.replace(text.find(from), from.size(), to);
}

}  // namespace

TEST(Manifest, WrittenTextReadsBackWhole) {
    for (const Manifest &written : {sample({}), sample({"qavoupdate", "engine/a b", "x~y"})}) {
        Manifest read;
        ASSERT_EQ(manifest_parse(text_of(written), read), "");
        EXPECT_EQ(read.signed_length, manifest_body(written).size());
        EXPECT_EQ(text_of(read), text_of(written));
    }
}

TEST(Manifest, OtherSpellingsAreRefused) {
    const std::string good = text_of(sample({"a", "b"}));
    const size_t first = good.find('\n') + 1, second = good.find('\n', first) + 1;
    const std::string cases[] = {
        good.substr(0, good.size() - 1),                 // no final LF
        replaced(good, "catalogue ab", "catalogue AB"),  // upper-case hex
        replaced(good, "serial 1", "serial 01"),         // leading zero
        text_of(sample({"a", "b", "a"})),                // a site path twice
        good + "\n",                                     // text after the signature
        good.substr(first, second - first) + good.substr(0, first) + good.substr(second),
        text_of(sample({"a", std::string(kManifestSizeLimit, 'p')})),  // too long
    };
    for (const std::string &text : cases) {
        Manifest read;
        EXPECT_NE(manifest_parse(text, read), "") << text.substr(0, 300);
        EXPECT_EQ(read.signed_length, 0u);
    }
    Manifest read;  // the bound itself is read; a byte more is not
    EXPECT_EQ(manifest_parse(std::string(kManifestSizeLimit, 'x'), read),
              "line 1: expected 'qavo-manifest 1'");
    EXPECT_EQ(manifest_parse(std::string(kManifestSizeLimit + 1, 'x'), read),
              "larger than 8388608 bytes");
    // A keyword misspelt at its own length, run into its value, or alone.
    const std::tuple<std::string, std::string, int> keywords[] = {
        {"serial ", "serail ", 2},        {"expires ", "expires", 3},
        {"catalogue ", "catalogue\t", 4}, {"\nfile ", "\nfila ", 5},
        {"\nfile ", "\nfilex", 5},        {"\nfile ", "\nfile\n", 5},
        {"signature ", "signaturf ", 7}};
    for (const auto &[from, to, line] : keywords) {
        Manifest read;
        const std::string at = "line " + std::to_string(line) + ":";
        EXPECT_EQ(manifest_parse(replaced(good, from, to), read).substr(0, at.size()), at) << to;
    }
}
