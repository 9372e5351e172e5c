// The manifest's and the patch index's texts: the parser reads back whole
// what the writer makes (the same text rewritten, the same record) and
// refuses any other spelling.
#include <tuple>
#include <utility>

#include "integrity/delta_index.h"
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

// Patches of "a" from bases 1 and 2 (the second of INT32_MAX bytes), plus
// any (sitepath, base) pairs given.
DeltaIndex delta_sample(std::vector<std::pair<std::string, uint8_t>> more = {}) {
    DeltaIndex index;
    index.serial = 1700000000;
    more.insert(more.begin(), {{"a", 1}, {"a", 2}});
    for (const auto &[site, base] : more) {
        DeltaPatch &patch = index.patches.emplace_back();
        patch.sitepath = site;
        patch.base.fill(base);
        patch.target.fill(0xcd);
        patch.size = index.patches.size() == 2 ? INT32_MAX : 10;
        patch.sha256.fill(0x0f);
        patch.patch_sitepath = "patches/" + site + "/p" + std::to_string(base) + ".zst";
    }
    index.keyid.fill(0x5c);
    index.signature.fill(0xe1);
    return index;
}

std::string delta_text(const DeltaIndex &index) {
    return delta_index_body(index) + manifest_signature_line(index.keyid, index.signature);
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

TEST(DeltaIndex, WrittenTextReadsBackWholeAndOtherSpellingsAreRefused) {
    for (const DeltaIndex &written : {DeltaIndex(), delta_sample({{"b", 1}})}) {
        DeltaIndex read;
        ASSERT_EQ(delta_index_parse(delta_text(written), read), "");
        EXPECT_EQ(read.signed_length, delta_index_body(written).size());
        EXPECT_EQ(delta_text(read), delta_text(written));
    }
    DeltaIndex read;
    ASSERT_EQ(delta_index_parse(delta_text(delta_sample()), read), "");
    ManifestDigest base, target;
    base.fill(2), target.fill(0xcd);
    EXPECT_EQ(delta_index_find(read, "a", base, target), &read.patches[1]);
    target.fill(0xce);
    EXPECT_EQ(delta_index_find(read, "a", base, target), nullptr);

    const std::string good = delta_text(delta_sample());
    const std::string cases[] = {
        replaced(good, "qavo-delta 1", "qavo-delta 2"),           // another header
        replaced(good, "serial 1700000000\n", ""),                // no serial
        replaced(good, "0f0f", "0F0f"),                           // upper-case hex
        replaced(good, " 10 ", " 010 "),                          // leading zero
        replaced(good, " 10 ", " 0 "),                            // empty patch
        replaced(good, " 2147483647 ", " 2147483648 "),           // beyond INT32_MAX
        replaced(good, "patches/a/p1.zst", "patches/a/p 1.zst"),  // a space in a name
        delta_text(delta_sample({{"b", 1}, {"a", 1}})),           // a pair twice
        good + "\n",                                              // text after the signature
        good.substr(0, good.size() - 1),                          // no final LF
        delta_text(delta_sample({{std::string(kDeltaIndexSizeLimit, 'p'), 3}})),  // too long
    };
    for (const std::string &text : cases) {
        EXPECT_NE(delta_index_parse(text, read), "") << text.substr(0, 300);
        EXPECT_EQ(read.signed_length, 0u);
    }
}
