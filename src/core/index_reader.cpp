// SPDX-License-Identifier: MIT
#include "unbcl/index_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "unbcl/console.hpp"
#include "unbcl/file_io.hpp"

namespace unbcl {

namespace {


bool isWhiteSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f'; }
bool isDigit(int c) { return c >= '0' && c <= '9'; }

// A NUL ends a line's text for every purpose after the read.
std::string_view textBeforeNul(const std::string& stored) {
    const auto nul = stored.find('\0');
    return std::string_view(stored).substr(0, nul);
}

}  // namespace

IndexReadFn readFromFd(int fd) {
    return [fd](std::span<char> into) -> std::ptrdiff_t { return ::read(fd, into.data(), into.size()); };
}

IndexReadFn readFromMemory(std::string_view bytes, std::size_t maxPiece) {
    return [bytes, maxPiece](std::span<char> into) mutable -> std::ptrdiff_t {
        const std::size_t n = std::min({maxPiece, into.size(), bytes.size()});
        std::memcpy(into.data(), bytes.data(), n);
        bytes.remove_prefix(n);
        return static_cast<std::ptrdiff_t>(n);
    };
}

IndexContents readWholeIndex(IndexReadFn read, std::size_t blockSize) {
    IndexReader reader(std::move(read), blockSize);
    IndexContents contents;
    contents.header1 = reader.readHeaderLine();
    contents.header2 = reader.readHeaderLine();
    while (const auto entry = reader.nextEntry()) contents.entries.push_back(*entry);
    contents.stop = reader.stop();
    contents.form = reader.form();
    return contents;
}

bool isReportedStop(StopReason reason) {
    return reason != StopReason::None && reason != StopReason::EndOfIndex;
}

std::string describeStop(const ReadingStop& stop) {
    switch (stop.reason) {
        case StopReason::None: return "not stopped";
        case StopReason::EndOfIndex: return "end of index";
        case StopReason::LineTooLong: return "line longer than 98 characters";
        case StopReason::LineOf98AtEnd: return "line of 98 characters ends the file without a line feed";
        case StopReason::NumberExpected: return "number expected";
        case StopReason::NumberOutOfRange: return "number out of range";
        case StopReason::EndInsideRecord: return "end of file inside a record";
        case StopReason::ReadError: return "read error: " + systemReason(stop.readErrno);
    }
    return "unknown";
}

std::string stopReport(std::string_view indexName, const ReadingStop& stop) {
    return escapeControlBytes(indexName) + ":" + std::to_string(stop.line) + ": reading stopped: " + describeStop(stop);
}

std::optional<std::string_view> nameFromLine(std::string_view line) {
    if (line.empty()) return std::nullopt;
    const std::size_t last = line.size() - 1;
    const bool opensWithBracket = line.front() == '[';
    if (!opensWithBracket && line[last] != ']') return std::nullopt;
    // Everything up to, not including, the last character: "[A.TXT" gives "A.TX".
    const std::size_t start = opensWithBracket ? 1 : 0;
    if (last < start) return std::string_view{};
    return line.substr(start, last - start);
}

IndexReader::IndexReader(IndexReadFn read, std::size_t blockSize)
    : read_(std::move(read)), block_(blockSize == 0 ? 1 : blockSize) {
    lineText_.reserve(kMaxLineChars);
}

void IndexReader::fail(StopReason reason, long line) {
    if (stop_.reason != StopReason::None) return;
    stop_.reason = reason;
    stop_.line = line;
}

bool IndexReader::refill() {
    while (!sourceEnded_) {
        const std::ptrdiff_t n = read_(std::span<char>(block_));
        if (n > 0) {
            pos_ = 0;
            end_ = static_cast<std::size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        sourceEnded_ = true;
        if (n < 0) {
            const int err = errno;
            fail(StopReason::ReadError, line_);
            stop_.readErrno = err;
        }
    }
    return false;
}

int IndexReader::peekByte() {
    for (;;) {
        if (pos_ == end_ && !refill()) return kEnd;
        const auto c = static_cast<unsigned char>(block_[pos_]);
        // Carriage returns vanish wherever they stand, so CR LF and LF indexes read alike.
        if (c == '\r') {
            carriageReturnPending_ = true;
            ++pos_;
            continue;
        }
        if (c == static_cast<unsigned char>(kEndOfTextMark)) {
            form_.endOfTextMark = true;
            sourceEnded_ = true;
            end_ = pos_;
            return kEnd;
        }
        return c;
    }
}

void IndexReader::consumeByte() {
    lastConsumedWasLineFeed_ = block_[pos_] == '\n';
    if (lastConsumedWasLineFeed_ && line_ == 1) form_.crlf = carriageReturnPending_;
    carriageReturnPending_ = false;
    if (lastConsumedWasLineFeed_) ++line_;
    ++pos_;
}

long IndexReader::lineOfEnd() const {
    return lastConsumedWasLineFeed_ && line_ > 1 ? line_ - 1 : line_;
}

void IndexReader::readLine() {
    lineText_.clear();
    const long startLine = line_;
    for (;;) {
        const int c = peekByte();
        if (c == kEnd) {
            if (lineText_.empty()) {
                fail(StopReason::EndOfIndex, lineOfEnd());
                return;
            }
            // A full buffer cannot tell a 98-character last line from a longer one.
            if (lineText_.size() == kMaxLineChars) {
                fail(StopReason::LineOf98AtEnd, startLine);
            }
            return;
        }
        if (lineText_.size() == kMaxLineChars) {
            if (c == '\n') {
                consumeByte();
            } else {
                fail(StopReason::LineTooLong, startLine);
            }
            return;
        }
        consumeByte();
        if (c == '\n') return;
        lineText_.push_back(static_cast<char>(c));
    }
}

void IndexReader::skipWhiteSpace() {
    while (isWhiteSpace(peekByte())) consumeByte();
}

void IndexReader::readNumber(std::int32_t& value) {
    skipWhiteSpace();
    int c = peekByte();
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        consumeByte();
        skipWhiteSpace();  // "- 5" reads as -5
        c = peekByte();
    }
    if (c == kEnd) {
        fail(StopReason::EndInsideRecord, lineOfEnd());
        return;
    }
    if (!isDigit(c)) {
        fail(StopReason::NumberExpected, line_);
        return;
    }
    const long numberLine = line_;
    constexpr std::int64_t kLimit = kLargestIndexNumber + 1;
    std::int64_t magnitude = 0;
    while (isDigit(c)) {
        consumeByte();
        // Saturate just past the range; all digits are still consumed.
        if (magnitude <= kLimit) magnitude = magnitude * 10 + (c - '0');
        c = peekByte();
    }
    const std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > std::numeric_limits<std::int32_t>::max() ||
        signedValue < std::numeric_limits<std::int32_t>::min()) {
        fail(StopReason::NumberOutOfRange, numberLine);
        return;
    }
    value = static_cast<std::int32_t>(signedValue);
}

std::string IndexReader::readHeaderLine() {
    if (stop_.reason != StopReason::None) return {};
    readLine();
    return std::string(textBeforeNul(lineText_));
}

std::optional<ListMLV> IndexReader::nextEntry() {
    // The stop test before every step is the loop condition: a failed read ends the loop
    // before its value is used, and an incomplete record is dropped.
    while (stop_.reason == StopReason::None) {
        switch (state_) {
            case RecordState::NameLine:
                readLine();
                // A failed read still leaves its characters; a name among them is taken.
                if (const auto name = nameFromLine(textBeforeNul(lineText_))) {
                    workingName_.assign(*name);
                    state_ = RecordState::Offset;
                }
                break;
            case RecordState::Offset:
                readNumber(working_.offset);
                state_ = RecordState::Length;
                break;
            case RecordState::Length:
                readNumber(working_.length);
                state_ = RecordState::Complete;
                break;
            case RecordState::Complete:
                state_ = RecordState::NameLine;
                working_.fname = workingName_;
                return working_;
        }
    }
    return std::nullopt;
}

}  // namespace unbcl
