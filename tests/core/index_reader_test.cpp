// SPDX-License-Identifier: MIT
#include "unbcl/index_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace unbcl {
namespace {

using namespace std::string_literals;

const std::string kHeader = "MEMBER LIST\n2 FILES\n";
std::string chars(std::size_t n, char c = 'x') { return std::string(n, c); }

struct ReaderCase {
    const char* what;
    std::string index;
    EntryList entries;
    StopReason stop;
    long stopLine;
};

// Lines are numbered from the first header line; the records here start on line 3.
const ReaderCase kReaderCases[] = {
    {"worked example", kHeader + "[A.TXT]\n0\n5\n\n[B.TXT]\n5\n3\n", {{"A.TXT", 0, 5}, {"B.TXT", 5, 3}},
     StopReason::EndOfIndex, 9},
    {"CR LF line ends read like LF", "MEMBER LIST\r\n2 FILES\r\n[A.TXT]\r\n0\r\n5\r\n\r\n[B.TXT]\r\n5\r\n3\r\n",
     {{"A.TXT", 0, 5}, {"B.TXT", 5, 3}}, StopReason::EndOfIndex, 9},
    {"a lone CR vanishes inside a name and a number", kHeader + "[A\rB]\n1\r2\n3\n", {{"AB", 12, 3}},
     StopReason::EndOfIndex, 5},
    {"name rule: brackets both sides", kHeader + "[TITLE.BMP]\n0\n1\n", {{"TITLE.BMP", 0, 1}}, StopReason::EndOfIndex, 5},
    {"name rule: closing bracket only", kHeader + "TITLE.BMP]\n0\n1\n", {{"TITLE.BMP", 0, 1}}, StopReason::EndOfIndex, 5},
    {"name rule: opening bracket drops the last character", kHeader + "[TITLE.BMP\n0\n1\n", {{"TITLE.BM", 0, 1}},
     StopReason::EndOfIndex, 5},
    {"name rule: trailing space keeps the bracket", kHeader + "[TITLE.BMP] \n0\n1\n", {{"TITLE.BMP]", 0, 1}},
     StopReason::EndOfIndex, 5},
    {"name rule: lone brackets give empty names", kHeader + "]\n0\n1\n[\n2\n3\n", {{"", 0, 1}, {"", 2, 3}},
     StopReason::EndOfIndex, 8},
    {"lines that are not name lines are skipped", kHeader + "TITLE.BMP\n; note\n\n[A]\n0\n1\ntrailer\n", {{"A", 0, 1}},
     StopReason::EndOfIndex, 9},
    {"path separators and spaces pass into the name", kHeader + "[sub dir/A B.TXT]\n0\n1\n", {{"sub dir/A B.TXT", 0, 1}},
     StopReason::EndOfIndex, 5},
    {"NUL ends a line's text", kHeader + "[A.TXT]\0junk\n0\n1\n[AB\0]\n2\n3\n"s, {{"A.TXT", 0, 1}, {"A", 2, 3}},
     StopReason::EndOfIndex, 8},
    {"97 and 98 characters before a line feed are fine", kHeader + chars(97) + "\n" + chars(98) + "\n[A]\n0\n1\n",
     {{"A", 0, 1}}, StopReason::EndOfIndex, 7},
    {"a 98-character name line", kHeader + "[" + chars(96) + "]\n0\n1\n", {{chars(96), 0, 1}}, StopReason::EndOfIndex, 5},
    {"99 characters end reading", kHeader + "[A]\n0\n1\n" + chars(99) + "\n[B]\n2\n3\n", {{"A", 0, 1}},
     StopReason::LineTooLong, 6},
    {"a long name line yields nothing", kHeader + "[" + chars(97) + "]\n0\n1\n", {}, StopReason::LineTooLong, 3},
    {"NUL counts towards the 98 characters", kHeader + "[A]" + "\0"s + chars(96) + "\n0\n1\n", {},
     StopReason::LineTooLong, 3},
    {"97 characters then end of file is a line", kHeader + "[A]\n0\n1\n" + chars(97), {{"A", 0, 1}},
     StopReason::EndOfIndex, 6},
    {"98 characters then end of file fails", kHeader + "[A]\n0\n1\n" + chars(98), {{"A", 0, 1}},
     StopReason::LineOf98AtEnd, 6},
    {"numbers on the name line's next line", kHeader + "[A]\n0 5\n", {{"A", 0, 5}}, StopReason::EndOfIndex, 4},
    {"numbers split over lines with blanks", kHeader + "[A]\n\n  7\t\n\n\v\f 9 rest\n", {{"A", 7, 9}},
     StopReason::EndOfIndex, 7},
    {"a sign may be followed by white space", kHeader + "[A]\n- 5\n+\n7\n", {{"A", -5, 7}}, StopReason::EndOfIndex, 6},
    {"leading zeros are decimal", kHeader + "[A]\n007\n010\n", {{"A", 7, 10}}, StopReason::EndOfIndex, 5},
    {"0x100 reads as 0 and stops at the length", kHeader + "[A]\n0x100\n5\n", {}, StopReason::NumberExpected, 4},
    {"the signed 32-bit limits are accepted", kHeader + "[A]\n-2147483648\n2147483647\n",
     {{"A", -2147483647 - 1, 2147483647}}, StopReason::EndOfIndex, 5},
    {"2147483648 is out of range", kHeader + "[A]\n0\n1\n[B]\n2147483648\n1\n", {{"A", 0, 1}},
     StopReason::NumberOutOfRange, 7},
    {"-2147483649 is out of range", kHeader + "[A]\n-2147483649\n1\n", {}, StopReason::NumberOutOfRange, 4},
    {"a very long number is out of range", kHeader + "[A]\n1\n99999999999999999999999\n", {},
     StopReason::NumberOutOfRange, 5},
    {"a name line followed by a name line", kHeader + "[A]\n0\n1\n[B]\n[C]\n2\n3\n", {{"A", 0, 1}},
     StopReason::NumberExpected, 7},
    {"a name line followed by text", kHeader + "[A]\nzero\n1\n", {}, StopReason::NumberExpected, 4},
    {"a doubled sign is no number", kHeader + "[A]\n--5\n1\n", {}, StopReason::NumberExpected, 4},
    {"record cut after its offset", kHeader + "[A]\n0\n1\n[B]\n2\n", {{"A", 0, 1}}, StopReason::EndInsideRecord, 7},
    {"record cut after its name line without a line feed", kHeader + "[A]", {}, StopReason::EndInsideRecord, 3},
    {"record cut after a sign", kHeader + "[A]\n-", {}, StopReason::EndInsideRecord, 4},
    {"last length without a line feed completes its record", kHeader + "[A]\n0\n5", {{"A", 0, 5}},
     StopReason::EndOfIndex, 5},
    {"empty index", "", {}, StopReason::EndOfIndex, 1},
    {"header only", kHeader, {}, StopReason::EndOfIndex, 2},
    {"0x1A ends the index text", kHeader + "[A]\n0\n5\n\x1a[B]\n1\n2\n", {{"A", 0, 5}}, StopReason::EndOfIndex, 5},
    {"0x1A inside a number ends it", kHeader + "[A]\n0\n5\x1a" "9\n", {{"A", 0, 5}}, StopReason::EndOfIndex, 5},
    {"0x1A inside a record cuts it", kHeader + "[A]\n0\x1a\n5\n", {}, StopReason::EndInsideRecord, 4},
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.what; }

class ReaderCaseTest : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderCaseTest, GivesEntriesAndStopWhateverTheReadSizes) {
    const ReaderCase& c = GetParam();
    // Whole file, byte by byte, and awkward pieces: a record must not depend on where reads end.
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{64 * 1024}}) {
        SCOPED_TRACE("piece " + std::to_string(piece));
        const IndexContents r = readWholeIndex(readFromMemory(c.index, piece), piece == 1 ? 2 : 64 * 1024);
        EXPECT_EQ(r.entries, c.entries);
        EXPECT_EQ(r.stop.reason, c.stop) << describeStop(r.stop);
        EXPECT_EQ(r.stop.line, c.stopLine);
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, ReaderCaseTest, ::testing::ValuesIn(kReaderCases),
                         [](const ::testing::TestParamInfo<ReaderCase>& param) {
                             std::string name = param.param.what;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return std::to_string(param.index) + "_" + name;
                         });

TEST(IndexReaderHeader, EchoesTwoLinesWhateverTheirState) {
    struct {
        std::string index;
        std::string header1, header2;
        StopReason stop;
    } const cases[] = {
        {"MEMBER LIST\n2 FILES\n", "MEMBER LIST", "2 FILES", StopReason::EndOfIndex},
        {"", "", "", StopReason::EndOfIndex},
        {"ONLY\n", "ONLY", "", StopReason::EndOfIndex},
        {"A\r\nB\0C\n"s, "A", "B", StopReason::EndOfIndex},
        // A long first header line shows its first 98 characters and ends the reading there.
        {chars(99) + "\nSECOND\n[A]\n0\n1\n", chars(98), "", StopReason::LineTooLong},
    };
    for (const auto& c : cases) {
        const IndexContents r = readWholeIndex(readFromMemory(c.index));
        EXPECT_EQ(r.header1, c.header1);
        EXPECT_EQ(r.header2, c.header2);
        EXPECT_TRUE(r.entries.empty());
        EXPECT_EQ(r.stop.reason, c.stop);
    }
}

TEST(IndexReaderStop, OnlyMalformedOrUnreadableIndexesAreReported) {
    EXPECT_FALSE(isReportedStop(StopReason::EndOfIndex));
    for (const StopReason r : {StopReason::LineTooLong, StopReason::LineOf98AtEnd, StopReason::NumberExpected,
                               StopReason::NumberOutOfRange, StopReason::EndInsideRecord, StopReason::ReadError}) {
        EXPECT_TRUE(isReportedStop(r));
    }
}

TEST(IndexReaderStop, ReadErrorEndsReadingAndKeepsEarlierRecords) {
    const std::string good = kHeader + "[A]\n0\n1\n";
    bool served = false;
    IndexReader reader([&](std::span<char> into) -> std::ptrdiff_t {
        if (served) {
            errno = EIO;
            return -1;
        }
        served = true;
        std::memcpy(into.data(), good.data(), good.size());
        return static_cast<std::ptrdiff_t>(good.size());
    });
    reader.readHeaderLine();
    reader.readHeaderLine();
    EXPECT_EQ(reader.nextEntry(), (ListMLV{"A", 0, 1}));
    EXPECT_EQ(reader.nextEntry(), std::nullopt);
    EXPECT_EQ(reader.stop().reason, StopReason::ReadError);
    EXPECT_EQ(describeStop(reader.stop()), "read error: Input/output error");
}

TEST(IndexReaderStreaming, HandsOutARecordBeforeReadingFurther) {
    // A record is shown as soon as it is complete, even when more of the index is still to come.
    const std::vector<std::string> pieces{kHeader + "[A]\n0\n5\n", "[B]\n5\n3\n"};
    std::size_t reads = 0;
    IndexReader reader([&](std::span<char> into) -> std::ptrdiff_t {
        if (reads == pieces.size()) return 0;
        const std::string& p = pieces[reads++];
        std::memcpy(into.data(), p.data(), p.size());
        return static_cast<std::ptrdiff_t>(p.size());
    });
    reader.readHeaderLine();
    reader.readHeaderLine();
    EXPECT_EQ(reader.nextEntry(), (ListMLV{"A", 0, 5}));
    EXPECT_EQ(reads, 1u);
    EXPECT_EQ(reader.nextEntry(), (ListMLV{"B", 5, 3}));
    EXPECT_EQ(reader.nextEntry(), std::nullopt);
}

// The form a rewrite keeps: the first line's end decides CR LF, and an end-of-file mark is
// seen wherever it stops the text, however the bytes arrive.
TEST(IndexReaderForm, TellsLineEndsAndTheEndOfFileMark) {
    struct {
        std::string index;
        IndexForm form;
    } const cases[] = {
        {"H\nH\n[A]\n0\n1\n", {false, false}},
        {"H\r\nH\r\n[A]\r\n0\r\n1\r\n", {true, false}},
        {"H\r\nH\r\n[A]\r\n0\r\n1\r\n\x1a", {true, true}},
        {"H\nH\n[A]\n0\n1\n\x1a" "after the mark", {false, true}},
        {"H\nH\r\n[A]\r\n0\r\n1\r\n", {false, false}},  // as its first line
        {"H\r\r\nH\n", {true, false}},
        {"\r\n\r\n", {true, false}},
        {"H\rX\nH\n", {false, false}},  // a CR inside a line is no line end
        {"", {false, false}},
    };
    for (const auto& c : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, SIZE_MAX}) {
            SCOPED_TRACE(::testing::PrintToString(c.index) + " in pieces of " + std::to_string(piece));
            EXPECT_EQ(readWholeIndex(readFromMemory(c.index, piece)).form, c.form);
        }
    }
}

TEST(NameFromLine, FollowsTheNameRule) {
    struct {
        std::string_view line;
        std::optional<std::string_view> name;
    } const cases[] = {
        {"[TITLE.BMP]", "TITLE.BMP"}, {"TITLE.BMP]", "TITLE.BMP"}, {"[TITLE.BMP", "TITLE.BM"},
        {"[TITLE.BMP] ", "TITLE.BMP]"}, {"]", ""}, {"[", ""}, {"[]", ""}, {"TITLE.BMP", std::nullopt},
        {"", std::nullopt}, {" [A]", " [A"},
    };
    for (const auto& c : cases) EXPECT_EQ(nameFromLine(c.line), c.name) << c.line;
}

}  // namespace
}  // namespace unbcl
