// The bulk dispatcher's expressions: first capture group of the first match, default options.
#include <gtest/gtest.h>

#include "CVcorfiRegex.h"

namespace {

TEST(CorfiRegex, ExtractsTheFirstGroupOfTheFirstMatch) {
    const struct {
        const char* pattern;
        const char* text;
        bool found;
        const char* group;
    } cases[] = {
        // The README's bulk patterns.
        {R"(TO=(\d+))", "TO=4711 MSG=Server room above 30 C", true, "4711"},
        {"MSG=(.*)$", "TO=4711 MSG=Server room above 30 C", true, "Server room above 30 C"},
        {R"(TO=(\d+))", "MSG=no recipient", false, ""},
        // Anchors, and the first of several matches.
        {R"(^TO=(\d+))", "x TO=1", false, ""},
        {R"(^TO=(\d+))", "TO=12 x", true, "12"},
        {R"((\w+)$)", "a b c", true, "c"},
        {R"((\d))", "a1b2", true, "1"},
        // Classes; case matters and bytes above 0x7f are no error without UTF mode.
        {"([[:digit:]]+)", "ab123cd", true, "123"},
        {"([^ ]+) ", "first second", true, "first"},
        {"to=([0-9]+)", "TO=5", false, ""},
        {"(.+)", "caf\xe9", true, "caf\xe9"},
        // An empty group; a group that took no part, alone or before one that did.
        {"x()y", "axyb", true, ""},
        {"a(b)?", "ac", false, ""},
        {"(a)?(c)", "c", true, ""},
        // No group at all, and patterns that do not compile.
        {R"(\d+)", "123", false, ""},
        {"(unclosed", "unclosed", false, ""},
        {"[z-a](.)", "za", false, ""},
    };
    for (const auto& c : cases) {
        std::string out = "unchanged";
        EXPECT_EQ(c.found, CVcorfiRegex(c.pattern).extractFirstGroup(c.text, out))
            << c.pattern << " on " << c.text;
        if (c.found) {
            EXPECT_EQ(c.group, out) << c.pattern << " on " << c.text;
        }
    }
}

}  // namespace
