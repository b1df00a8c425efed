// The argument rules the Linux tool shares with the Windows tool.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/argument_rules.h"
#include "linux/tool/command_line.h"

namespace {

struct ProcessIdCase {
    const char* text;
    uint32_t expected;
};

TEST(CommandLine, ProcessIdIsReadAsTheWindowsRuntimeReadsIt) {
    const ProcessIdCase cases[] = {
        {"1234", 1234u},
        {"  \t\n42", 42u},                     // leading white space
        {"+7", 7u},                            // a sign
        {"12abc", 12u},                        // digits up to the first non-digit
        {"abc", 0u},                           // no digits
        {"", 0u},                              //
        {"-", 0u},                             // a sign alone
        {"- 5", 0u},                           // white space after the sign ends it
        {"0x1F", 0u},                          // decimal only
        {"-1", 4294967295u},                   // negative numbers wrap to unsigned
        {"2147483647", 2147483647u},           // the signed limit itself
        {"2147483648", 2147483647u},           // clamped although long holds it
        {"4294967295", 2147483647u},           //
        {"9223372036854775807", 2147483647u},  // the 64-bit limit
        {"99999999999999999999999", 2147483647u},
        {"-2147483648", 2147483648u},
        {"-2147483649", 2147483648u},  // clamped to the signed minimum
        {"-99999999999999999999999", 2147483648u},
        {"1 2", 1u},
    };
    for (const ProcessIdCase& c : cases) {
        EXPECT_EQ(ParseProcessId(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(CommandLine, IncludeIsTheWholeWordInAnyAsciiCase) {
    for (const char* text : {"include", "INCLUDE", "Include", "iNcLuDe"}) {
        EXPECT_EQ(ParseTreeMode(text), TreeMode::kInclude) << text;
    }
    for (const char* text :
         {"exclude", "", "includ", "include ", " include", "includes", "inclu\0de", "anything"}) {
        EXPECT_EQ(ParseTreeMode(text), TreeMode::kExclude) << '"' << text << '"';
    }
}

TEST(CommandLine, CaseFoldingIsAsciiOnly) {
    // Letters outside A-Z that fold to ASCII in some locales do not count:
    // U+0130 (I with dot above) and the Kelvin sign U+212A, in UTF-8 and wide.
    EXPECT_EQ(ParseTreeMode("\xC4\xB0nclude"), TreeMode::kExclude);
    EXPECT_FALSE(IsIncludeWord(L"\u0130nclude"));
    EXPECT_FALSE(IsIncludeWord(L"inc\u212Aude"));
    EXPECT_TRUE(IsIncludeWord(L"INCLUDE"));
    // A byte whose value lies above 'Z' after a careless fold.
    EXPECT_EQ(ParseTreeMode("\xC9NCLUDE"), TreeMode::kExclude);
}

}  // namespace
