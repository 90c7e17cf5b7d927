// SPDX-License-Identifier: MIT
// Reads an index: two header lines, then records of a name line, an offset and a length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "unbcl/index_format.hpp"
#include "unbcl/list_entry.hpp"

namespace unbcl {

// Fills the span with the next bytes of the index; returns how many (0 at its end), or -1
// with errno set.
using IndexReadFn = std::function<std::ptrdiff_t(std::span<char>)>;

IndexReadFn readFromFd(int fd);
// Serves bytes held in memory (which must outlive the reader) in pieces of at most maxPiece
// bytes, as a pipe or a small read size would deliver them.
IndexReadFn readFromMemory(std::string_view bytes, std::size_t maxPiece = SIZE_MAX);

// Why reading stopped. EndOfIndex is the normal end; every other reason is a malformed or
// unreadable index that the user is told about.
enum class StopReason {
    None,
    EndOfIndex,
    LineTooLong,
    LineOf98AtEnd,
    NumberExpected,
    NumberOutOfRange,
    EndInsideRecord,
    ReadError,
};

struct ReadingStop {
    StopReason reason = StopReason::None;
    long line = 0;       // 1-based index line where the failing read stood
    int readErrno = 0;  // for ReadError
};

// The text a user is shown for a stop, e.g. "number expected".
std::string describeStop(const ReadingStop& stop);
// The whole report, "INDEX:LINE: reading stopped: REASON", with the index name escaped.
std::string stopReport(std::string_view indexName, const ReadingStop& stop);
bool isReportedStop(StopReason reason);

// Is the line a name line, and which name does it give? The line is the text before any NUL.
std::optional<std::string_view> nameFromLine(std::string_view line);

class IndexReader {
public:
    static constexpr std::size_t kMaxLineChars = kMaxIndexLineChars;

    explicit IndexReader(IndexReadFn read, std::size_t blockSize = 64 * 1024);

    // One header line (its text up to any NUL). Header reads carry on after a failure and
    // then give empty text, so a short index still shows two header lines.
    std::string readHeaderLine();

    // The next complete record, or nothing once reading has stopped. Bytes are fetched only
    // when needed, so a record is handed out as soon as its length has been read. Its name
    // stays valid until the next call.
    std::optional<ListMLV> nextEntry();

    const ReadingStop& stop() const { return stop_; }
    // The form of the text read so far: its first line's end, and whether an end-of-file mark
    // ended it.
    const IndexForm& form() const { return form_; }

private:
    // What the record loop reads next.
    enum class RecordState { NameLine, Offset, Length, Complete };

    static constexpr int kEnd = -1;

    int peekByte();
    void consumeByte();
    bool refill();
    void fail(StopReason reason, long line);
    long lineOfEnd() const;

    // Both record a failure in stop_; a failed read still leaves what it stored.
    void readLine();
    void readNumber(std::int32_t& value);
    void skipWhiteSpace();

    IndexReadFn read_;
    std::vector<char> block_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool sourceEnded_ = false;

    long line_ = 1;
    bool lastConsumedWasLineFeed_ = false;
    bool carriageReturnPending_ = false;  // a CR was skipped since the last byte consumed
    IndexForm form_;

    std::string lineText_;  // the characters a line read stored
    RecordState state_ = RecordState::NameLine;
    std::string workingName_;
    ListMLV working_;
    ReadingStop stop_;
};

// Everything one index yields: its header lines, its entries, and why reading stopped.
struct IndexContents {
    std::string header1;
    std::string header2;
    EntryList entries;
    ReadingStop stop;
    IndexForm form;
};

IndexContents readWholeIndex(IndexReadFn read, std::size_t blockSize = 64 * 1024);

}  // namespace unbcl
