// SPDX-License-Identifier: MIT
// Standard output (the listing) and standard error (diagnostics).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "unbcl/problem.hpp"

namespace unbcl {

// Where a program's two output streams go, and whether a person is watching them.
struct StandardStreams {
    int out = 1;
    int err = 2;
    bool outIsTerminal = false;
    bool errIsTerminal = false;
    // Standard output was closed when the program started; /dev/null holds its place, so
    // what is written there reaches nobody.
    bool outClosedAtStart = false;
};

// Length of the valid UTF-8 sequence that starts text (1 to 4), or 0 when it starts with a
// byte that is not one (or text is empty).
std::size_t utf8SequenceLength(std::string_view text);

// Shows every byte that could drive a terminal as \xHH, so that archive text cannot: C0
// controls and DEL, C1 controls (as lone bytes 0x80-0x9F and as UTF-8 U+0080-U+009F), and the
// bidirectional overrides and isolates (U+202A-U+202E, U+2066-U+2069). Everything else,
// including bytes that are not UTF-8, passes unchanged.
std::string escapeControlBytes(std::string_view text);
void appendEscaped(std::string& out, std::string_view text);
// Two lower-case hexadecimal digits for one byte.
void appendHexByte(std::string& out, unsigned char byte);

// The listing. Every piece handed to write() goes out in one write call at once, so a
// listing stays in step with the run even when the process dies; a failed write is
// remembered, not fatal, because extraction must still happen.
class Console {
public:
    Console(int fd, bool escapeArchiveText) : fd_(fd), escapeArchiveText_(escapeArchiveText) {}

    void write(std::string_view bytes);
    // From now on nothing is written: the output leads somewhere it must not go.
    void discard() { discard_ = true; }
    // Text that came from the index, shown as it stands unless a terminal needs protecting.
    void appendShown(std::string& out, std::string_view archiveText) const;

    int error() const { return error_; }

private:
    int fd_;
    bool escapeArchiveText_;
    bool discard_ = false;
    int error_ = 0;
};

// Diagnostics in the form "PROGRAM: SUBJECT: reason", one write per line.
class Diagnostics {
public:
    Diagnostics(int fd, std::string programName) : fd_(fd), program_(std::move(programName)) {}

    // subject is archive text (a member or file name) and is always escaped.
    void report(std::string_view subject, std::string_view reason);
    // A line with no subject: "PROGRAM: reason".
    void reportPlain(std::string_view reason);
    // A problem the library returned, worded as report() and note() word theirs.
    void report(const Problem& problem);
    void reportAll(const Problems& problems) {
        for (const Problem& p : problems) report(p);
    }
    // Information that is not a failure ("kept the existing file"): same form, exit code untouched.
    void note(std::string_view subject, std::string_view text);

    bool anyReported() const { return reported_ > 0; }
    // Runs before each line is written: a progress display clears itself there.
    void setBeforeLine(std::function<void()> beforeLine) { beforeLine_ = std::move(beforeLine); }

private:
    void writeLine(std::string_view reason);

    int fd_;
    std::string program_;
    std::size_t reported_ = 0;
    std::function<void()> beforeLine_;
};

}  // namespace unbcl
