// SPDX-License-Identifier: MIT
#include "plain_reader.hpp"

#include <algorithm>

namespace unbcl::test {

namespace {

class PlainReader {
public:
    explicit PlainReader(const std::string& raw) {
        for (const char c : raw) {
            if (c == '\x1a') break;
            if (c != '\r') text_ += c;
        }
    }

    PlainReading run() {
        PlainReading r;
        r.header1 = headerLine();
        r.header2 = headerLine();
        int state = 0;
        std::string workingName;
        ListMLV working;
        while (!failed()) {
            if (state == 0) {
                const std::string line = upToNul(getLine());
                const bool nameLine = !line.empty() && (line.front() == '[' || line.back() == ']');
                if (nameLine) {
                    const std::size_t start = line.front() == '[' ? 1 : 0;
                    const std::size_t k = line.size() - 1;
                    workingName = k < start ? "" : line.substr(start, k - start);
                    state = 1;
                }
            } else if (state == 1) {
                working.offset = getNumber();
                state = 2;
            } else if (state == 2) {
                working.length = getNumber();
                state = 3;
            } else {
                working.fname = workingName;
                r.entries.push_back(working);
                state = 0;
            }
        }
        r.stop = why_;
        r.stopLine = whyLine_;
        return r;
    }

private:
    bool failed() const { return why_ != StopReason::None; }
    void fail(StopReason why, long line) {
        if (!failed()) {
            why_ = why;
            whyLine_ = line;
        }
    }
    bool atEnd() const { return at_ == text_.size(); }
    // Lines are counted by the line feeds before a position.
    long lineAt(std::size_t pos) const {
        return 1 + std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(pos), '\n');
    }
    long lineOfLastCharacter() const { return text_.empty() ? 1 : lineAt(text_.size() - 1); }
    static std::string upToNul(const std::string& s) { return s.substr(0, s.find('\0')); }

    std::string headerLine() { return failed() ? std::string() : upToNul(getLine()); }

    std::string getLine() {
        std::string stored;
        const std::size_t start = at_;
        if (atEnd()) {
            fail(StopReason::EndOfIndex, lineOfLastCharacter());
            return stored;
        }
        for (;;) {
            if (atEnd()) {
                if (stored.size() == 98) fail(StopReason::LineOf98AtEnd, lineAt(start));
                return stored;
            }
            const char c = text_[at_];
            if (stored.size() == 98) {
                if (c == '\n') {
                    ++at_;
                } else {
                    fail(StopReason::LineTooLong, lineAt(start));
                }
                return stored;
            }
            ++at_;
            if (c == '\n') return stored;
            stored += c;
        }
    }

    void skipSpace() {
        while (!atEnd() && std::string_view(" \t\n\v\f").find(text_[at_]) != std::string_view::npos) ++at_;
    }

    std::int32_t getNumber() {
        skipSpace();
        bool negative = false;
        if (!atEnd() && (text_[at_] == '+' || text_[at_] == '-')) {
            negative = text_[at_] == '-';
            ++at_;
            skipSpace();
        }
        if (atEnd()) {
            fail(StopReason::EndInsideRecord, lineOfLastCharacter());
            return 0;
        }
        if (text_[at_] < '0' || text_[at_] > '9') {
            fail(StopReason::NumberExpected, lineAt(at_));
            return 0;
        }
        const long line = lineAt(at_);
        std::string digits;
        while (!atEnd() && text_[at_] >= '0' && text_[at_] <= '9') digits += text_[at_++];
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
        // Compared as text, so no arithmetic can overflow.
        const std::string limit = negative ? "2147483648" : "2147483647";
        if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit)) {
            fail(StopReason::NumberOutOfRange, line);
            return 0;
        }
        const long long magnitude = std::stoll(digits);
        return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    }

    std::string text_;
    std::size_t at_ = 0;
    StopReason why_ = StopReason::None;
    long whyLine_ = 0;
};

}  // namespace

PlainReading readPlainly(const std::string& raw) { return PlainReader(raw).run(); }

}  // namespace unbcl::test
