// SPDX-License-Identifier: MIT
// A reader opens the index and the data file of one version of the archive: a writer that
// commits while a reader is between the two opens waits for it, so the reader never reads the
// new data file through the old index.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "bcl_support.hpp"
#include "open_gate.hpp"

namespace unbcl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// FIRST grows in the new version, so every byte of LAST moves.
const FileSet kOld{{"FIRST", "1111"}, {"LAST", "LAST"}};

struct Reader {
    std::string what;
    std::vector<std::string> args;  // run in the archive's directory
    bool unbcl = false;
    std::string out;  // its standard output, in full
};

const Reader kReaders[] = {
    {"bcl cat", {"cat", "A.BCL", "LAST"}, false, "LAST"},
    {"bcl list --hash", {"list", "A.BCL", "--hash", "crc32"}, false,
     "          0           4  dbf9c8f7  FIRST\n          4           4  7c4e4414  LAST\n2 members, 8 bytes\n"},
    {"unbcl", {"A.BCL", "A.BCD"}, true, ""},
};

TEST(ReaderLock, AWriterThatCommitsWhileAReaderOpensTheArchiveWaitsForIt) {
    for (const Reader& reader : kReaders) {
        SCOPED_TRACE(reader.what);
        const Made archive(kOld);
        writeFile(archive.src / "FIRST", "99999");
        ScratchDir out;
        // The reader is held as it opens the data file, with the index already open.
        OpenGate gate(archive.data);
        std::future<RunResult> read = std::async(std::launch::async, [&] {
            std::vector<std::string> args = reader.args;
            if (reader.unbcl) {
                args = {archive.index.string(), archive.data.string()};
                return runProgram({out.path(), args, UNBCL_BINARY, {}, {}});
            }
            return runProgram({archive.dir.path(), args, BCL_BINARY, {}, {}});
        });
        ASSERT_TRUE(gate.waitForOpen().has_value());
        // create replaces both files and opens neither of the old ones for reading but the
        // index, so the gate holds only the reader.
        Background writer(archive.dir.path(), {"create", "A.BCL", "-C", "src", "FIRST", "LAST"});
        while (!writer.hasExited() && !waitsForFlock(writer.pid())) std::this_thread::sleep_for(100us);
        EXPECT_FALSE(writer.hasExited()) << "the writer committed while the reader was opening: " << writer.err();
        gate.release();

        const RunResult r = read.get();
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 0);
        if (reader.unbcl) {
            EXPECT_EQ(readRegularFiles(out.path()), kOld);
        } else {
            EXPECT_EQ(r.out, reader.out);
        }
        EXPECT_EQ(writer.exitCode(), 0) << writer.err();
        EXPECT_EQ(bcl(archive.dir.path(), {"cat", "A.BCL", "FIRST"}).out, "99999");
    }
}

}  // namespace
}  // namespace unbcl::test
