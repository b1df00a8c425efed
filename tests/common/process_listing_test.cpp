// The listers' rows, built by both toolchains.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/process_listing.h"

namespace {

ListedProcess Listed(uint32_t pid, uint32_t root, bool active, const std::string& name,
                     const std::string& application = std::string()) {
    ListedProcess process;
    process.pid = pid;
    process.root = root;
    process.active = active;
    process.name = name;
    process.application = application;
    return process;
}

TEST(ListingTable, ColumnsStayApartForWidePids) {
    const ListingColumns kName = ListingColumns::kName;
    EXPECT_EQ("PID    ROOT   STATE     NAME", TableHeader(kName));
    EXPECT_EQ("27788  8728   active    chrome.exe",
              TableRow(Listed(27788, 8728, true, "chrome.exe"), kName));
    EXPECT_EQ("11552  11552  inactive  Teams.exe",
              TableRow(Listed(11552, 11552, false, "Teams.exe"), kName));
    EXPECT_EQ("4294967292 1234567 active    a b.exe",
              TableRow(Listed(4294967292u, 1234567, true, "a b.exe"), kName));
    EXPECT_EQ("8      8      active    w\xc3\xb6rker \xf0\x9d\x84\x9e.exe",
              TableRow(Listed(8, 8, true, "w\xc3\xb6rker \xf0\x9d\x84\x9e.exe"), kName))
        << "names are written as they are given";
}

TEST(ListingTable, ApplicationColumnShowsOnlyANameThatDiffers) {
    const ListingColumns kBoth = ListingColumns::kNameAndApplication;
    EXPECT_EQ("PID    ROOT   STATE     NAME            APPLICATION", TableHeader(kBoth));
    const struct {
        ListedProcess process;
        const char* row;
    } cases[] = {
        {Listed(4242, 4200, true, "pw-cat", "pw-play"),
         "4242   4200   active    pw-cat          pw-play"},
        {Listed(77, 77, false, "firefox", "firefox"), "77     77     inactive  firefox"},
        {Listed(77, 77, true, "player"), "77     77     active    player"},
        {Listed(9, 9, true, "a-name-longer-than-15", "Other"),
         "9      9      active    a-name-longer-than-15 Other"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.row, TableRow(c.process, kBoth)) << c.row;
    }
}

TEST(ListingTable, ControlCharactersCannotBreakTheLine) {
    EXPECT_EQ("1      1      active    two?lines\?\?tab? ?",
              TableRow(Listed(1, 1, true, "two\nlines\r\x1btab\x7f", "?"),
                       ListingColumns::kNameAndApplication));
    EXPECT_EQ("1      1      active    app             say?hi",
              TableRow(Listed(1, 1, true, "app", "say\nhi"), ListingColumns::kNameAndApplication));
    // C1 controls (CSI U+009B starts an escape on many terminals) and bytes
    // that are not UTF-8 are shown as '?'; other characters stay whole.
    const struct {
        const char* application;
        const char* shown;
    } cases[] = {
        {"a\xC2\x9B"
         "31mred",
         "a?31mred"},
        {"\xC2\x80\xC2\x9F|\xC2\xA0", "??|\xC2\xA0"},
        {"caf\xC3\xA9 \xE2\x99\xAA", "caf\xC3\xA9 \xE2\x99\xAA"},
        {"bad\xFF\xC3(x", "bad?\?(x"},
        {"cut\xE2\x99", "cut??"},
        {"overlong\xC0\xAF", "overlong??"},
        {"surrogate\xED\xA0\x80", "surrogate???"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            std::string("1      1      active    app             ") + c.shown,
            TableRow(Listed(1, 1, true, "app", c.application), ListingColumns::kNameAndApplication))
            << c.application;
    }
}

TEST(ListingJson, EscapesTheNameAsPureAscii) {
    const struct {
        std::string name;
        const char* json;
    } cases[] = {
        {"chrome.exe", "\"chrome.exe\""},
        {"say \"hi\".exe", "\"say \\\"hi\\\".exe\""},
        {"a\\b.exe", "\"a\\\\b.exe\""},
        {std::string("tab\there\nnul") + '\0' + "\x1f\x7f.exe",
         "\"tab\\u0009here\\u000anul\\u0000\\u001f\\u007f.exe\""},
        {"w\xc3\xb6rker \xe2\x99\xaa.exe", "\"w\\u00f6rker \\u266a.exe\""},
        {"\xf0\x9d\x84\x9e.exe", "\"\\ud834\\udd1e.exe\""},
        {"", "\"\""},
        // Bytes that are not UTF-8: a lone continuation byte, a cut sequence,
        // an overlong slash, an encoded surrogate, a value past U+10FFFF.
        {"a\x80z", "\"a\\ufffdz\""},
        {"a\xe2\x99", "\"a\\ufffd\\ufffd\""},
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string("{\"pid\":27788,\"root\":8728,\"state\":\"inactive\",\"name\":") +
                      c.json + "}",
                  JsonLine(Listed(27788, 8728, false, c.name), ListingColumns::kName))
            << c.json;
    }
}

TEST(ListingJson, ApplicationIsTheStatedNameOrNull) {
    const ListingColumns kBoth = ListingColumns::kNameAndApplication;
    EXPECT_EQ(
        "{\"pid\":4242,\"root\":4200,\"state\":\"active\",\"name\":\"pw-cat\","
        "\"application\":\"pw-play\"}",
        JsonLine(Listed(4242, 4200, true, "pw-cat", "pw-play"), kBoth));
    EXPECT_EQ(
        "{\"pid\":77,\"root\":77,\"state\":\"active\",\"name\":\"firefox\","
        "\"application\":\"firefox\"}",
        JsonLine(Listed(77, 77, true, "firefox", "firefox"), kBoth))
        << "the stated name is given even where it equals the executable's";
    EXPECT_EQ(
        "{\"pid\":77,\"root\":77,\"state\":\"active\",\"name\":\"player\",\"application\":null}",
        JsonLine(Listed(77, 77, true, "player"), kBoth));
    EXPECT_EQ(
        "{\"pid\":1,\"root\":1,\"state\":\"active\",\"name\":\"p\",\"application\":\"M\\u00fcsic "
        "\\\"Pro\\\"\"}",
        JsonLine(Listed(1, 1, true, "p", "M\xc3\xbcsic \"Pro\""), kBoth));
}

TEST(ListingLines, TheTableHasItsHeaderAlsoWhenEmptyAndJsonHasNone) {
    const ListingColumns kName = ListingColumns::kName;
    const std::vector<ListedProcess> two = {Listed(8, 8, true, "a.exe"),
                                            Listed(9, 8, false, "a.exe")};
    EXPECT_EQ((std::vector<std::string>{TableHeader(kName)}), ListingLines({}, false, kName));
    EXPECT_EQ(std::vector<std::string>{}, ListingLines({}, true, kName));
    EXPECT_EQ((std::vector<std::string>{TableHeader(kName), TableRow(two[0], kName),
                                        TableRow(two[1], kName)}),
              ListingLines(two, false, kName));
    EXPECT_EQ((std::vector<std::string>{JsonLine(two[0], kName), JsonLine(two[1], kName)}),
              ListingLines(two, true, kName));
}

}  // namespace
