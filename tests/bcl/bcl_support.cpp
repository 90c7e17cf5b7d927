// SPDX-License-Identifier: MIT
#include "bcl_support.hpp"

#include <gtest/gtest.h>

namespace unbcl::test {

namespace fs = std::filesystem;

RunResult bcl(const fs::path& cwd, std::vector<std::string> args) {
    return runProgram({cwd, std::move(args), BCL_BINARY, {}, {}});
}

void writeFiles(const fs::path& root, const FileSet& files) {
    for (const auto& [name, bytes] : files) {
        fs::create_directories((root / name).parent_path());
        writeFile(root / name, bytes);
    }
}

FileSet readRegularFiles(const fs::path& root) {
    FileSet files;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) files[fs::relative(item.path(), root).string()] = readFile(item.path());
    }
    return files;
}

Made::Made(const FileSet& files, std::vector<std::string> extraArgs) {
    fs::create_directory(src);
    writeFiles(src, files);
    std::vector<std::string> args{"-i", index.string(), "-d", data.string(), "create"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    for (const auto& [name, bytes] : files) args.push_back(name);
    const RunResult r = bcl(src, args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
}

RunResult Made::run(std::vector<std::string> args, const fs::path& cwd) const {
    std::vector<std::string> all{"-i", index.string(), "-d", data.string()};
    all.insert(all.end(), args.begin(), args.end());
    return bcl(cwd.empty() ? dir.path() : cwd, all);
}

}  // namespace unbcl::test
