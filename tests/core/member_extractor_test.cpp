// SPDX-License-Identifier: MIT
// The two writers' answers, checked as values: which problems each member meets, of what kind
// and with which errno, and whether its file was written.
#include "unbcl/extract.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kData = "HELLOabc";

// An extraction directory with things in the way, a data file beside it, and a hard link to
// the data file inside it.
struct Fixture {
    ScratchDir dir;
    fs::path out = dir / "out";
    UniqueFd data;
    UniqueFd outFd;
    std::vector<ProtectedFile> protectedFiles;

    Fixture() {
        fs::create_directories(out / "dir");
        fs::create_directory(dir / "outside");
        writeFile(dir / "data", kData);
        writeFile(out / "file", "old");
        fs::create_symlink("../outside", out / "leads-out");
        fs::create_symlink("nowhere", out / "dangling");
        fs::create_hard_link(dir / "data", out / "DATA");
        EXPECT_EQ(::mkfifo((out / "fifo").c_str(), 0666), 0);
        data = UniqueFd(::open((dir / "data").c_str(), O_RDONLY | O_CLOEXEC));
        outFd = UniqueFd(::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        EXPECT_EQ(::fstat(data.get(), &st), 0);
        protectedFiles.push_back({{st.st_dev, st.st_ino}, "the data file"});
    }
};

// The current directory, for unbcl's writer, whose names are relative to it; put back after.
class InDirectory {
public:
    explicit InDirectory(const fs::path& dir) : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        EXPECT_EQ(::chdir(dir.c_str()), 0);
    }
    ~InDirectory() { EXPECT_EQ(::fchdir(previous_.get()), 0); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    UniqueFd previous_;
};

struct Expected {
    std::vector<ProblemKind> kinds;
    int systemError;  // of the first problem
    bool written;
    bool whole;
};

void expectAnswer(const ExtractedMember& got, const std::string& name, const Expected& want) {
    std::vector<ProblemKind> kinds;
    for (const Problem& p : got.problems) kinds.push_back(p.kind);
    EXPECT_EQ(kinds, want.kinds);
    if (!got.problems.empty()) {
        EXPECT_EQ(got.problems[0].systemError, want.systemError);
        // The subject is the member's name, for the program to show.
        EXPECT_EQ(got.problems[0].subject, name);
    }
    EXPECT_EQ(got.written, want.written);
    EXPECT_EQ(got.whole, want.whole);
    EXPECT_FALSE(got.interrupted);
}

using K = ProblemKind;

TEST(BeneathExtractor, EachProblemHasItsKind) {
    struct {
        std::string name;
        std::int32_t offset, length;
        bool keep;
        NameStyle style;
        Expected expected;
    } const cases[] = {
        {"new", 0, 5, false, NameStyle::Unix, {{}, 0, true, true}},
        {"d/e/new", 0, 5, false, NameStyle::Unix, {{}, 0, true, true}},
        {"file", 0, 5, false, NameStyle::Unix, {{}, 0, true, true}},  // replaced by a new file
        {"../x", 0, 5, false, NameStyle::Unix, {{K::UnsafeName}, 0, false, false}},
        {"/abs", 0, 5, false, NameStyle::Unix, {{K::UnsafeName}, 0, false, false}},
        {"C:x", 0, 5, false, NameStyle::Dos, {{K::UnsafeName}, 0, false, false}},
        {"leads-out/x", 0, 5, false, NameStyle::Unix, {{K::UnsafeName}, EXDEV, false, false}},
        {"fifo", 0, 5, false, NameStyle::Unix, {{K::Refused}, 0, false, false}},
        {"DATA", 0, 5, false, NameStyle::Unix, {{K::Refused}, 0, false, false}},
        {"dir", 0, 5, false, NameStyle::Unix, {{K::CannotOpen}, EISDIR, false, false}},
        {"file/x", 0, 5, false, NameStyle::Unix, {{K::CannotOpen}, ENOTDIR, false, false}},
        {"short", 5, 10, false, NameStyle::Unix, {{K::NotWhole}, 0, true, false}},
        {"negative", 0, -1, false, NameStyle::Unix, {{K::NotWhole}, 0, true, false}},
        {"file", 0, 5, true, NameStyle::Unix, {{K::KeptExisting}, 0, false, false}},
        {"dangling", 0, 5, true, NameStyle::Unix, {{K::CannotOpen}, ENOENT, false, false}},
        {"dir", 0, 5, true, NameStyle::Unix, {{K::Refused}, 0, false, false}},
        {"leads-out", 0, 5, true, NameStyle::Unix, {{K::UnsafeName}, EXDEV, false, false}},
        {"new", 0, 5, true, NameStyle::Unix, {{}, 0, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + (c.keep ? " with keepExisting" : ""));
        Fixture f;
        BeneathPolicy policy;
        policy.directoryFd = f.outFd.get();
        policy.keepExisting = c.keep;
        policy.nameStyle = c.style;
        BeneathExtractor extractor(f.data.get(), f.protectedFiles, policy);
        const ExtractedMember got = extractor.extractMember({c.name, c.offset, c.length});
        expectAnswer(got, c.name, c.expected);
        const bool isNote = !got.problems.empty() && got.problems[0].kind == K::KeptExisting;
        EXPECT_EQ(got.problems.anyError(), !c.expected.kinds.empty() && !isNote);
        if (c.expected.written) {
            const auto from = static_cast<std::size_t>(c.offset);
            const std::string_view bytes = c.length < 0 ? "" : kData.substr(from, static_cast<std::size_t>(c.length));
            EXPECT_EQ(readFile(f.out / c.name), bytes);
        }
        EXPECT_EQ(readFile(f.out / "file"), c.name == "file" && !c.keep ? "HELLO" : "old");
        EXPECT_EQ(readFile(f.dir / "data"), kData);
        EXPECT_TRUE(fs::is_empty(f.dir / "outside"));
    }
}

TEST(BeneathExtractor, AnUnreadableDataFileIsACannotRead) {
    Fixture f;
    const UniqueFd notReadable(::open(f.dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    BeneathPolicy policy;
    policy.directoryFd = f.outFd.get();
    BeneathExtractor extractor(notReadable.get(), f.protectedFiles, policy);
    expectAnswer(extractor.extractMember({"file", 0, 5}), "file", {{K::CannotRead}, EISDIR, false, false});
    // Nothing half-made took the name.
    EXPECT_EQ(readFile(f.out / "file"), "old");
}

TEST(InPlaceExtractor, EachProblemHasItsKind) {
    struct {
        std::string name;
        std::int32_t offset, length;
        Expected expected;
    } const cases[] = {
        {"new", 0, 5, {{}, 0, true, true}},
        {"file", 5, 3, {{}, 0, true, true}},  // emptied and rewritten
        {"../x", 0, 5, {{K::UnsafeName}, 0, false, false}},
        {"fifo", 0, 5, {{K::Refused}, 0, false, false}},
        {"DATA", 0, 5, {{K::Refused}, 0, false, false}},
        {"dir", 0, 5, {{K::CannotOpen}, EISDIR, false, false}},
        {"d/new", 0, 5, {{K::CannotOpen}, ENOENT, false, false}},  // no directory is made
        {"short", 6, 5, {{K::NotWhole}, 0, true, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        const InDirectory in(f.out);
        InPlaceExtractor extractor(f.data.get(), f.protectedFiles);
        const ExtractedMember got = extractor.extractMember({c.name, c.offset, c.length});
        expectAnswer(got, c.name, c.expected);
        if (c.expected.written) {
            const auto from = static_cast<std::size_t>(c.offset);
            EXPECT_EQ(readFile(f.out / c.name), std::string(kData.substr(from, static_cast<std::size_t>(c.length))));
        }
        EXPECT_EQ(readFile(f.dir / "data"), kData);
    }
}

}  // namespace
}  // namespace unbcl::test
