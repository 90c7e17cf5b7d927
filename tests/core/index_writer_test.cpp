// SPDX-License-Identifier: MIT
// The index writer against the reader: whatever the writer accepts reads back as written, and
// every limit of the format is held at its edge.
#include "unbcl/index_writer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "unbcl/archive_plan.hpp"
#include "unbcl/index_format.hpp"
#include "unbcl/index_reader.hpp"

namespace unbcl {
namespace {

// A name of any bytes but the four an index line cannot hold, of any length up to one past the
// longest a line can take.
std::string randomName(std::mt19937& random) {
    std::uniform_int_distribution<std::size_t> length(1, kMaxMemberNameChars + 2);
    std::uniform_int_distribution<int> byte(1, 255);
    std::string name;
    const std::size_t n = length(random);
    while (name.size() < n) {
        const char c = static_cast<char>(byte(random));
        if (c != '\n' && c != '\r' && c != '\x1a') name += c;
    }
    return name;
}

std::int64_t randomNumber(std::mt19937& random) {
    // The ends of the range are where a writer goes wrong, so they come up often.
    static constexpr std::int64_t kEdges[] = {0, 1, 9, 10, kLargestIndexNumber - 1, kLargestIndexNumber};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(kEdges) * 2);
    const std::size_t i = pick(random);
    if (i < std::size(kEdges)) return kEdges[i];
    return std::uniform_int_distribution<std::int64_t>(0, kLargestIndexNumber)(random);
}

TEST(IndexWriter, EveryNameItAcceptsReadsBackAsWritten) {
    std::mt19937 random(20261211);
    int accepted = 0;
    for (int round = 0; round < 300; ++round) {
        ArchivePlan plan;
        if (round % 3 == 1) plan.header2 = "A SECOND HEADER";
        for (int i = 0; i < 20; ++i) {
            std::string name = randomName(random);
            // Names an old index gave (up to 97 characters) are written back as they are; new
            // ones pass memberNameProblem first.
            const bool fromOldIndex = name.size() == kMaxMemberNameChars + 1 && name.front() != '[';
            if (!fromOldIndex && memberNameProblem(name)) continue;
            // Members kept in place are written at their old offsets, whatever those are.
            plan.add({name, name, {{}, {}, randomNumber(random)}, randomNumber(random)});
            ++accepted;
        }
        const MemberLayout layout = layOutMembers(plan, 0, 1, MemberLayout::Mode::InPlace);
        ASSERT_TRUE(layout.problems.empty());
        const std::string text = indexText(plan, layout);
        const IndexContents read = readWholeIndex(readFromMemory(text, 7));
        EXPECT_EQ(read.stop.reason, StopReason::EndOfIndex);
        EXPECT_EQ(read.header1, plan.header1);
        EXPECT_EQ(read.header2, plan.header2.empty() ? std::to_string(plan.size()) + " FILES" : plan.header2);
        ASSERT_EQ(read.entries.size(), plan.size()) << text;
        std::size_t i = 0;
        for (const ListMLV& e : read.entries) {
            const PlannedMember& m = plan.described()[i++];
            EXPECT_EQ(std::string(e.fname), m.storedName);
            EXPECT_EQ(e.offset, m.source.oldOffset);
            EXPECT_EQ(e.length, m.length);
        }
    }
    // The generator must reach the writer often enough to mean something.
    EXPECT_GT(accepted, 3000);
}

struct NameCase {
    std::string name;
    bool accepted;
};

const NameCase kNameCases[] = {
    {std::string(kMaxMemberNameChars, 'n'), true},
    {std::string(kMaxMemberNameChars + 1, 'n'), false},
    {"[" + std::string(kMaxMemberNameChars - 1, 'n'), true},
    {"", false},
    {"a\nb", false},
    {"a\rb", false},
    {std::string("a\0b", 3), false},
    {"a\x1a", false},
    {"a/../b", false},
    {"/abs", false},
    {"a..b", true},
    {"dir/name.txt", true},
};

TEST(IndexWriter, NameRulesHoldAtTheirEdges) {
    for (const NameCase& c : kNameCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(!memberNameProblem(c.name).has_value(), c.accepted);
        if (!c.accepted) continue;
        ArchivePlan plan;
        plan.add({c.name, c.name, {}, 0});
        const std::string line = nameLine(c.name);
        EXPECT_LE(line.size(), kMaxIndexLineChars);
        const std::string text = indexText(plan, layOutMembers(plan, 0, 1));
        const IndexContents read = readWholeIndex(readFromMemory(text));
        ASSERT_EQ(read.entries.size(), 1u);
        for (const ListMLV& e : read.entries) EXPECT_EQ(std::string(e.fname), c.name);
    }
}

TEST(IndexWriter, HeaderLinesHoldAtTheirEdges) {
    const std::vector<std::string> fine{std::string(kMaxIndexLineChars, 'h'), ""};
    EXPECT_TRUE(headerProblems(fine).empty());
    const Problems refused = headerProblems({std::string(kMaxIndexLineChars + 1, 'h'), "a\nb", "x\x1a"});
    ASSERT_EQ(refused.size(), 3u);
    for (const Problem& p : refused) EXPECT_EQ(p.kind, ProblemKind::Refused);
}

TEST(IndexWriter, LayoutRefusesWhatNoIndexCanDescribe) {
    struct Case {
        std::int64_t start;
        std::int64_t length;
        bool fits;
    } const cases[] = {
        {0, kLargestIndexNumber, true},
        {0, kLargestIndexNumber + 1, false},
        {kLargestIndexNumber, 0, true},
        {kLargestIndexNumber + 1, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + "+" + std::to_string(c.length));
        ArchivePlan plan;
        plan.add({"m", "m", {"file", {}, 0}, c.length});
        const Problems problems = layOutMembers(plan, c.start, 1).problems;
        EXPECT_EQ(problems.empty(), c.fits);
        for (const Problem& p : problems) EXPECT_EQ(p.kind, ProblemKind::Refused);
    }
}

}  // namespace
}  // namespace unbcl
