// SPDX-License-Identifier: MIT
#include "unbcl/name_charset.hpp"

#include <cerrno>

#include <gtest/gtest.h>

namespace unbcl {
namespace {

using Direction = NameCharset::Direction;

std::string byteRange(int first, int last) {
    std::string bytes;
    for (int b = first; b <= last; ++b) bytes += static_cast<char>(b);
    return bytes;
}

// One name through one conversion: the bytes that come out, or the errno that stopped it.
TEST(NameCharset, ConvertsWholeNamesOrRefusesThem) {
    struct {
        const char* codePage;
        Direction direction;
        std::string name;
        std::string converted;  // empty: refused with error
        int error;
    } const cases[] = {
        {"CP437", Direction::ToUtf8, "\x80\xb0.TXT", "\u00c7\u2591.TXT", 0},
        {"CP850", Direction::ToUtf8, "\x9b\xd5", "\u00f8\u0131", 0},
        {"CP932", Direction::ToUtf8, "\x83\x65\x83\x58\x83\x67", "\u30c6\u30b9\u30c8", 0},
        // A trail byte of 0x5C is half of a character, not a backslash.
        {"CP932", Direction::ToUtf8, "\x94\x5c\\x", "\u80fd\\x", 0},
        {"CP932", Direction::ToUtf8, "a\xa0" "b", "", EILSEQ},  // no character there
        {"CP932", Direction::ToUtf8, "a\x83", "", EINVAL},      // a lead byte with nothing after it
        {"CP437", Direction::FromUtf8, "\u00c7\u2591.TXT", "\x80\xb0.TXT", 0},
        {"CP932", Direction::FromUtf8, "\u30c6\u30b9\u30c8", "\x83\x65\x83\x58\x83\x67", 0},
        {"CP850", Direction::FromUtf8, "\u20acx", "", EILSEQ},  // no euro sign in CP850
        {"ASCII", Direction::FromUtf8, "\u00e9.txt", "", EILSEQ},
        {"CP437", Direction::FromUtf8, "bad\xff", "", EILSEQ},  // not UTF-8
        // iconv writes these as 0x5C and 0x7E without a word: read back, a backslash and a
        // tilde, another name (and a directory separator).
        {"CP932", Direction::FromUtf8, "dir\u00a5file", "", EILSEQ},
        {"CP932", Direction::FromUtf8, "\u203e", "", EILSEQ},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.codePage) + (c.direction == Direction::ToUtf8 ? " to UTF-8: " : " from UTF-8: ") +
                     c.name);
        SysResult<NameCharset> charset = NameCharset::open(c.codePage, c.direction);
        ASSERT_TRUE(charset) << systemReason(charset.error());
        const SysResult<std::string> converted = charset->convert(c.name);
        if (c.error == 0) {
            ASSERT_TRUE(converted) << systemReason(converted.error());
            EXPECT_EQ(*converted, c.converted);
        } else {
            ASSERT_FALSE(converted) << *converted;
            EXPECT_EQ(converted.error(), c.error);
        }
        // A refusal leaves nothing behind in the converter for the next name.
        const SysResult<std::string> next = charset->convert("ok.txt");
        ASSERT_TRUE(next);
        EXPECT_EQ(*next, "ok.txt");
    }
}

TEST(NameCharset, EverySingleByteNameComesBackAsItsBytes) {
    for (const char* codePage : {"CP437", "CP850"}) {
        SCOPED_TRACE(codePage);
        SysResult<NameCharset> toUtf8 = NameCharset::open(codePage, Direction::ToUtf8);
        SysResult<NameCharset> fromUtf8 = NameCharset::open(codePage, Direction::FromUtf8);
        ASSERT_TRUE(toUtf8 && fromUtf8);
        for (int b = 0x01; b <= 0xff; ++b) {
            const std::string stored = std::string("n") + static_cast<char>(b);
            const SysResult<std::string> shown = toUtf8->convert(stored);
            ASSERT_TRUE(shown) << b;
            const SysResult<std::string> back = fromUtf8->convert(*shown);
            ASSERT_TRUE(back) << b;
            EXPECT_EQ(*back, stored) << b;
        }
    }
    // Double-byte CP932: the whole first row of kanji (0x889F-0x88FC), lead and trail bytes.
    SysResult<NameCharset> toUtf8 = NameCharset::open("CP932", Direction::ToUtf8);
    SysResult<NameCharset> fromUtf8 = NameCharset::open("CP932", Direction::FromUtf8);
    ASSERT_TRUE(toUtf8 && fromUtf8);
    std::string row;
    for (const char trail : byteRange(0x9f, 0xfc)) row += std::string("\x88") + trail;
    const SysResult<std::string> shown = toUtf8->convert(row);
    ASSERT_TRUE(shown);
    const SysResult<std::string> back = fromUtf8->convert(*shown);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, row);
}

// A suffix makes iconv approximate (//TRANSLIT: "é" as "?", "€" as "EUR") or drop (//IGNORE)
// what it cannot convert: a code page named with one is refused, whichever way names go.
TEST(NameCharset, ACodePageWithASuffixIsRefused) {
    struct {
        const char* codePage;
        bool refused;
    } const cases[] = {
        {"ASCII//TRANSLIT", true},  {"ASCII//IGNORE", true},  {"CP437//TRANSLIT//IGNORE", true},
        {"CP932//translit", true},  {"ASCII/TRANSLIT", true}, {"CP437//", false},
        {"CP437", false},           {"cp850", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codePage);
        EXPECT_EQ(NameCharset::codePageProblem(c.codePage).has_value(), c.refused);
        for (const Direction direction : {Direction::ToUtf8, Direction::FromUtf8}) {
            const SysResult<NameCharset> charset = NameCharset::open(c.codePage, direction);
            EXPECT_EQ(!charset, c.refused);
            if (!charset) {
                EXPECT_EQ(charset.error(), EINVAL);
            }
        }
    }
    EXPECT_EQ(NameCharset::describeOpenFailure("ASCII//TRANSLIT", EINVAL),
              "refused character set: the suffix //TRANSLIT would let names be changed; name the code page alone");
    EXPECT_EQ(NameCharset::describeOpenFailure("NO-SUCH-PAGE", EINVAL), "unknown character set: Invalid argument");
    EXPECT_FALSE(NameCharset::open("NO-SUCH-PAGE", Direction::ToUtf8));
}

}  // namespace
}  // namespace unbcl
