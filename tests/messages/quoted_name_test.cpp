// Names in messages are quoted as the shell-escape style of the core utilities quotes them: left
// alone when the shell would take them as they are, in quotes otherwise, and every control
// character or byte that is no UTF-8 written as an escape, never raw.
#include <gtest/gtest.h>

#include <string>

#include "messages/quoted_name.h"

namespace {

TEST(QuotedName, PlainNamesStayAndOthersAreQuotedAsTheShellNeeds) {
    struct Case {
        std::string name;
        std::string quoted;
    };
    const Case cases[] = {
        {"deck", "deck"},
        {"/tmp/tape-1.dv", "/tmp/tape-1.dv"},
        {"0x0800460102030405", "0x0800460102030405"},
        {"テープ.dv", "テープ.dv"},  // printable characters beyond ASCII need no quotes
        {"", "''"},
        {"Microsoft DV Camera and VCR", "'Microsoft DV Camera and VCR'"},
        {"a$b", "'a$b'"},
        {"it's", "\"it's\""},
        {"it's $HOME", "'it'\\''s $HOME'"},
        {"~home", "'~home'"},
        {"a~b", "a~b"},
        {"#x", "'#x'"},
        {"a\tb", "'a'$'\\t''b'"},
        {"\x1b[31mred", "$'\\033''[31mred'"},
        {"end\n", "'end'$'\\n'"},
        {"bad \xff\xfe", "'bad '$'\\377\\376'"},
        {"cut \xe3\x81", "'cut '$'\\343\\201'"},
        {"c1 \xc2\x85", "'c1 '$'\\302\\205'"},  // U+0085, a control character of its own
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CQuotedName::Shell(c.name), c.quoted) << testing::PrintToString(c.name);
    }
}

}  // namespace
