// SPDX-License-Identifier: MIT
// bcl test: what it finds wrong, what it only notes, and that it writes nothing.
#include <gtest/gtest.h>

#include <cstdlib>

#include "bcl_support.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(BclTest, TestFindsWhatIsWrongAndNotesWhatIsMerelyUnusual) {
    struct {
        std::string index;
        std::string err;
        int exitCode;
    } const cases[] = {
        {"H\nH\n[A]\n0\n4\n[B]\n4\n4\n", "", 0},
        // An empty member is whole wherever its offset points, as extraction has it.
        {"H\nH\n[E1]\n99\n0\n[E2]\n-1\n0\n", "", 0},
        {"H\nH\n[A]\n0\n4\n[A]\n4\n4\n[C]\n2\n4\n",
         "bcl: A: warning: named 2 times; extraction keeps the last entry's bytes\n"
         "bcl: C: note: overlaps A\nbcl: A: note: overlaps C\n",
         0},
        {"H\nH\n[A]\n0\n4\n[B]\n", "bcl: MOLVARE.BCL:6: reading stopped: end of file inside a record\n", 1},
        {"H\nH\n[../x]\n0\n1\n[/abs]\n1\n1\n[]\n2\n1\n",
         "bcl: ../x: unsafe name: name has a '..' component\nbcl: /abs: unsafe name: absolute name\n"
         "bcl: : empty name\n", 1},
        {"H\nH\n[..\\x]\n0\n1\n[\\abs]\n1\n1\n[D:x]\n2\n1\n[A\\B]\n3\n1\n[A/B]\n4\n1\n",
         "bcl: ../x: unsafe name: name has a '..' component\nbcl: /abs: unsafe name: absolute name\n"
         "bcl: D:x: unsafe name: absolute name (drive letter)\n"
         "bcl: A/B: warning: named 2 times; extraction keeps the last entry's bytes\n",
         1},
        {"H\nH\n[d/]\n0\n1\n[a/b]\n1\n1\n[a//b]\n2\n1\n[./a/b]\n3\n1\n",
         "bcl: d/: the name ends in a directory, not a file\n"
         "bcl: a/b: warning: named 3 times; extraction keeps the last entry's bytes\n",
         1},
        // Where case is ignored these are one file; each later spelling is warned about once.
        {"H\nH\n[CONFIG.INI]\n0\n1\n[config.ini]\n1\n1\n[Gfx\\A.BMP]\n2\n1\n[GFX/a.bmp]\n3\n1\n[Config.ini]\n4\n1\n"
         "[config.ini]\n5\n1\n",
         "bcl: config.ini: warning: named 2 times; extraction keeps the last entry's bytes\n"
         "bcl: config.ini: warning: differs only by case from CONFIG.INI; where case is ignored, extraction keeps one "
         "of them\n"
         "bcl: GFX/a.bmp: warning: differs only by case from Gfx/A.BMP; where case is ignored, extraction keeps one of "
         "them\n"
         "bcl: Config.ini: warning: differs only by case from CONFIG.INI; where case is ignored, extraction keeps one "
         "of them\n",
         0},
        {"H\nH\n[PAST]\n6\n4\n[NEG]\n-1\n1\n[NEGLEN]\n0\n-2\n",
         "bcl: PAST: member runs past the end of the data file: 2 of 4 bytes missing\n"
         "bcl: NEG: negative offset -1: 1 of 1 bytes missing\n"
         "bcl: NEGLEN: negative length -2\n",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        ScratchDir dir;
        writeFile(dir / "MOLVARE.BCL", c.index);
        writeFile(dir / "MOLVARE.BCD", "01234567");
        const auto before = listTree(dir.path());
        const RunResult r = bcl(dir.path(), {"test"});
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(listTree(dir.path()), before);
    }
}

// A loop device over an image file, detached when done; none when losetup is not allowed.
class LoopDevice {
public:
    explicit LoopDevice(const fs::path& image) {
        const fs::path out = image.string() + ".device";
        const std::string command = "losetup -f --show '" + image.string() + "' > '" + out.string() + "' 2>/dev/null";
        if (std::system(command.c_str()) != 0) return;
        device_ = readFile(out);
        if (!device_.empty() && device_.back() == '\n') device_.pop_back();
    }
    ~LoopDevice() {
        if (!device_.empty()) [[maybe_unused]] const int rc = std::system(("losetup -d '" + device_ + "'").c_str());
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& path() const { return device_; }

private:
    std::string device_;
};

TEST(BclTest, ABlockDeviceIsADataFileOfTheDevicesSize) {
    // Its status gives no size: members must be judged against the device's own.
    ScratchDir dir;
    std::string image = "HELLOabc";
    image.resize(64 << 10, 'z');
    writeFile(dir / "image", image);
    const LoopDevice device(dir / "image");
    if (device.path().empty()) GTEST_SKIP() << "needs root to set up a loop device";
    writeFile(dir / "A.BCL", "H\nH\n[a]\n0\n5\n[end]\n65530\n10\n");
    const RunResult test = bcl(dir.path(), {"-i", "A.BCL", "-d", device.path(), "test"});
    EXPECT_EQ(test.err, "bcl: end: member runs past the end of the data file: 4 of 10 bytes missing\n");
    EXPECT_EQ(test.exitCode, 1);
    const RunResult cat = bcl(dir.path(), {"-i", "A.BCL", "-d", device.path(), "cat", "a"});
    EXPECT_EQ(cat.out, "HELLO");
    EXPECT_EQ(cat.exitCode, 0);
}

}  // namespace
}  // namespace unbcl::test
