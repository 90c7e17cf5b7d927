// SPDX-License-Identifier: MIT
// The real reader against the plain one on generated indexes that hit the format's tricky
// spots, with the bytes delivered in every read size that matters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "unbcl/index_reader.hpp"
#include "plain_reader.hpp"

namespace unbcl::test {
namespace {

using namespace std::string_literals;

class IndexGenerator {
public:
    explicit IndexGenerator(unsigned seed) : rng_(seed) {}

    std::string make() {
        std::string index = line() + end() + line() + end();
        const int records = pick(0, 8);
        for (int i = 0; i < records; ++i) {
            if (chance(4)) index += filler() + end();
            index += nameLine() + end() + number() + separator() + number() + end();
        }
        if (chance(4)) index.resize(static_cast<std::size_t>(pick(0, static_cast<int>(index.size()))));
        if (chance(12)) index.insert(static_cast<std::size_t>(pick(0, static_cast<int>(index.size()))), "\x1a");
        return index;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(int oneIn) { return pick(1, oneIn) == 1; }
    const std::string& oneOf(const std::vector<std::string>& options) {
        return options[static_cast<std::size_t>(pick(0, static_cast<int>(options.size()) - 1))];
    }

    // Lengths cluster around the 98-character limit.
    std::size_t lineLength() {
        return static_cast<std::size_t>(chance(5) ? pick(95, 100) : pick(0, 12));
    }

    std::string sprinkle(std::string s) {
        if (!s.empty() && chance(8)) s[static_cast<std::size_t>(pick(0, static_cast<int>(s.size()) - 1))] = '\r';
        if (!s.empty() && chance(12)) s[static_cast<std::size_t>(pick(0, static_cast<int>(s.size()) - 1))] = '\0';
        return s;
    }

    std::string line() { return sprinkle(std::string(lineLength(), 'h')); }
    std::string filler() { return chance(2) ? "" : sprinkle(std::string(lineLength(), 'c')); }

    std::string nameLine() {
        std::string body(lineLength(), 'n');
        static const std::vector<std::string> shapes{"[]", "[", "]", "] ", ""};
        const std::string shape = oneOf(shapes);
        if (shape == "[]") return sprinkle("[" + body + "]");
        if (shape == "[") return sprinkle("[" + body);
        if (shape == "]") return sprinkle(body + "]");
        if (shape == "] ") return sprinkle("[" + body + "] ");
        return sprinkle(body);
    }

    std::string number() {
        static const std::vector<std::string> plain{"0", "5", "123", "-7", "+ 9", "007", "65536"};
        if (!chance(4)) return oneOf(plain);
        static const std::vector<std::string> numbers{
            "0", "5", "007", "-0", "+12", "- 5", "+\n\n7", "-\t\r\n3", "2147483647", "2147483648", "-2147483648",
            "-2147483649", "99999999999999999999", "0x100", "abc", "", "--1", "+", "1\r2", "12\0 3"s, "4\x1a",
        };
        return oneOf(numbers);
    }

    std::string separator() {
        static const std::vector<std::string> separators{"\n", "\r\n", " ", "\n\n", "\t", "\v\f", "\r"};
        return oneOf(separators);
    }
    std::string end() { return chance(4) ? "\r\n" : "\n"; }

    std::mt19937 rng_;
};

TEST(ReaderDifferential, AgreesWithThePlainReaderOnGeneratedIndexes) {
    IndexGenerator generate(20261210);
    std::size_t entriesSeen = 0;
    std::size_t reportedStops = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::string index = generate.make();
        const PlainReading expected = readPlainly(index);
        entriesSeen += expected.entries.size();
        if (isReportedStop(expected.stop)) ++reportedStops;
        for (const std::size_t piece : {std::size_t{1}, std::size_t{511}, std::size_t{512}, std::size_t{513}, index.size() + 1}) {
            const IndexContents got = readWholeIndex(readFromMemory(index, piece), 4096);
            ASSERT_EQ(got.header1, expected.header1) << "case " << i << " piece " << piece;
            ASSERT_EQ(got.header2, expected.header2) << "case " << i << " piece " << piece;
            ASSERT_EQ(got.entries, expected.entries) << "case " << i << " piece " << piece;
            ASSERT_EQ(got.stop.reason, expected.stop) << "case " << i << " piece " << piece;
            ASSERT_EQ(got.stop.line, expected.stopLine) << "case " << i << " piece " << piece;
        }
    }
    // The generator must reach both outcomes, or the comparison proves little.
    EXPECT_GT(entriesSeen, 1000u);
    EXPECT_GT(reportedStops, 500u);
}

}  // namespace
}  // namespace unbcl::test
