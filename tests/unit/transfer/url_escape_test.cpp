// Percent escaping and decoding with the shared byte-class table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "transfer/url.h"

namespace {

std::string take(char *text) {
    std::string result = text != nullptr ? text : "<null>";
    free(text);
    return result;
}

TEST(UrlEscape, EscapersAndUnescaper) {
    const struct {
        char *(*function)(const char *);
        const char *text, *expected;
    } kCases[] = {
        {url_escape, "a:b@c", "a%3ab%40c"},
        {url_escape, "\xe9", "%e9"},
        {url_escape, "&/;=?", "%26%2f%3b%3d%3f"},
        {url_escape, "\"#%'<>[\\]^{|}~ \t", "%22%23%25%27%3c%3e%5b%5c%5d%5e%7b%7c%7d%7e%20%09"},
        {url_escape, "Az09!$()*+,-._`\x7f", "Az09!$()*+,-._`\x7f"},  // safe, including 127
        {url_escape, "", ""},
        {url_escape_path, "a b/c:d", "a%20b/c:d"},  // reserved bytes stay
        {url_escape_path, "x?y=1&z@w;", "x?y=1&z@w;"},
        {url_escape_path, "100%", "100%25"},
        {url_unescape, "%4A%4a", "JJ"},
        {url_unescape, "a%20b%2Fc", "a b/c"},
        {url_unescape, "", ""},
        {url_unescape, "%4", "<null>"},
        {url_unescape, "%zz", "<null>"},
        {url_unescape, "abc%", "<null>"},
    };
    for (const auto &test : kCases)
        EXPECT_EQ(take(test.function(test.text)), test.expected) << test.text;
    for (auto function : {url_escape, url_escape_path, url_unescape})
        EXPECT_EQ(function(nullptr), nullptr);

    // Two more for each escaped byte.
    EXPECT_EQ(url_escaped_length(""), 0u);
    EXPECT_EQ(url_escaped_length("abc"), 3u);
    EXPECT_EQ(url_escaped_length("a b/c"), 9u);
    EXPECT_EQ(url_escaped_length("\x01\xff"), 6u);
}

TEST(UrlEscape, EveryByteRoundTrips) {
    std::string all;
    for (int c = 1; c < 256; c++) all.push_back(static_cast<char>(c));
    EXPECT_EQ(take(url_unescape(take(url_escape(all.c_str())).c_str())), all);
    EXPECT_EQ(take(url_unescape(take(url_escape_path(all.c_str())).c_str())), all);
}

}  // namespace
