// SPDX-License-Identifier: MIT
// What went wrong, as a value: the library says what happened and to what, and the programs
// decide how to say it and what it does to their exit code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace unbcl {

// What kind of thing went wrong, for callers that act on it rather than show it.
enum class ProblemKind : std::uint8_t {
    CannotOpen,       // a file or directory could not be opened or made
    CannotRead,       // reading failed (a read error, an index that stopped early)
    CannotWrite,      // writing or syncing failed
    CannotReplace,    // a name could not be given to a new file, or taken from an old one
    CannotLock,       // the archive's lock could not be taken
    UnsafeName,       // a name that would leave the extraction directory or not read back
    NotWhole,         // a member runs past the data file's end, or has a negative length
    Refused,          // a rule of this tool refused the subject (it is the archive, say)
    Changed,          // a file changed while it was being read
    Interrupted,      // a held signal stopped the work, and nothing was changed
    NotFound,         // a pattern chose nothing
    KeptExisting,     // a note: an existing file was left as it is
    Repaired,         // a note: an interrupted commit was completed or rolled back
};

enum class Severity : std::uint8_t {
    Error,  // the run fails
    Note,   // information; the exit code does not change
};

// One problem. reason is the text a person is shown after the subject, worded once, here, so
// that every program says the same thing the same way.
struct Problem {
    ProblemKind kind = ProblemKind::Refused;
    std::string subject;  // a member name or path, as the archive or the user gave it; may be empty
    std::string reason;
    int systemError = 0;  // the errno behind it, when a system call failed
    Severity severity = Severity::Error;
    // An empty subject leaves the line without one ("PROGRAM: reason"), unless the subject is a
    // name that happens to be empty: an index can name a member "", and the line then reads
    // "PROGRAM: : reason", as for any other name.
    bool subjectIsName = false;

    bool isError() const { return severity == Severity::Error; }
};

inline Problem makeProblem(ProblemKind kind, std::string subject, std::string reason, int systemError = 0) {
    return Problem{kind, std::move(subject), std::move(reason), systemError, Severity::Error};
}

inline Problem makeNote(ProblemKind kind, std::string subject, std::string reason) {
    return Problem{kind, std::move(subject), std::move(reason), 0, Severity::Note};
}

// A problem of a member, or of a name the user gave: its subject is that name, even when empty.
inline Problem makeNameProblem(ProblemKind kind, std::string name, std::string reason, int systemError = 0) {
    Problem p = makeProblem(kind, std::move(name), std::move(reason), systemError);
    p.subjectIsName = true;
    return p;
}

inline Problem makeNameNote(ProblemKind kind, std::string name, std::string reason) {
    Problem p = makeNote(kind, std::move(name), std::move(reason));
    p.subjectIsName = true;
    return p;
}

// The problems of one operation, in the order they happened.
class Problems {
public:
    void add(Problem problem) { list_.push_back(std::move(problem)); }
    void add(Problems&& more) {
        for (Problem& p : more.list_) list_.push_back(std::move(p));
        more.list_.clear();
    }
    bool empty() const { return list_.empty(); }
    bool anyError() const {
        for (const Problem& p : list_) {
            if (p.isError()) return true;
        }
        return false;
    }
    std::size_t size() const { return list_.size(); }
    const Problem& operator[](std::size_t i) const { return list_[i]; }
    auto begin() const { return list_.begin(); }
    auto end() const { return list_.end(); }
    std::vector<Problem> take() { return std::exchange(list_, {}); }

private:
    std::vector<Problem> list_;
};

}  // namespace unbcl
