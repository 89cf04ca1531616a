// QuotedName: names shown in messages as a shell would read them back, with nothing in them that
// a terminal takes for a control.
#include <gtest/gtest.h>

#include <string>

#include "support/text.h"
#include "tests/support/process.h"

namespace {

using platform::QuotedName;

TEST(QuotedName, QuotesEveryNameAndEscapesControlsAndBytesThatAreNotUtf8) {
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"tamsel.ax", "'tamsel.ax'"},
        {"", "''"},
        {"two words", "'two words'"},
        {"it's", "'it'\\''s'"},
        {"\xC3\x9C" "ber \xE2\x9C\x93", "'\xC3\x9C" "ber \xE2\x9C\x93'"},  // printable UTF-8 stays
        {"a\033[31mb", "'a'$'\\033''[31mb'"},
        {"\033", "$'\\033'"},
        {"line\nbreak\r\t", "'line'$'\\n''break'$'\\r\\t'"},
        {"del\x7F", "'del'$'\\177'"},
        {"c1\xC2\x9B", "'c1'$'\\302\\233'"},                  // CSI in its C1 form
        {"bad\xFF\xE6\x97", "'bad'$'\\377\\346\\227'"},       // a stray byte, a cut-short character
    };
    for (const auto& c : cases) EXPECT_EQ(c.shown, QuotedName(c.name)) << c.shown;
}

// What bash reads back from the quoted form is the name, byte for byte, whatever it holds.
TEST(QuotedName, AShellReadsTheNameBack) {
    std::string every;
    for (int byte = 1; byte < 256; ++byte) every += char(byte);
    for (const std::string& name : {every, std::string("'\\$`\"!*?~#;&|<>(){}[] \n'"), std::string("\xF0\x9F\x8E\xA8\xC2")}) {
        const testsupport::RunResult read = testsupport::RunCaptured({"bash", "-c", "printf %s " + QuotedName(name)});
        ASSERT_EQ(0, read.status) << read.output;
        EXPECT_EQ(name, read.output);
    }
}

}  // namespace
