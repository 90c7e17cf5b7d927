// SPDX-License-Identifier: MIT
#include "unbcl/console.hpp"

#include "unbcl/file_io.hpp"

#include <cstdint>

namespace unbcl {

namespace {

bool isC0OrDelete(unsigned char c) { return c < 0x20 || c == 0x7F; }

// A lone byte 0x80-0x9F is a C1 control to an 8-bit terminal (0x9B starts a sequence, as ESC [
// does); inside valid UTF-8 these bytes are only continuation bytes and harmless.
bool isLoneC1Byte(unsigned char c) { return c >= 0x80 && c <= 0x9F; }

// C1 controls written as UTF-8, and the characters that reorder text on screen: the
// bidirectional embeddings and overrides and the isolates, which can make a name read as
// another one.
bool isUnsafeCodePoint(std::uint32_t code) {
    return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

void appendHexEscapes(std::string& out, std::string_view bytes) {
    for (const char ch : bytes) {
        out += "\\x";
        appendHexByte(out, static_cast<unsigned char>(ch));
    }
}

}  // namespace

namespace {

struct Utf8Char {
    std::size_t length = 0;  // 0: not a valid sequence
    std::uint32_t code = 0;
};

// The valid UTF-8 sequence at text's start, decoded once for both questions asked of it.
Utf8Char readUtf8(std::string_view text) {
    if (text.empty()) return {};
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {1, lead};
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, code = lead & 0x07u;
    } else {
        return {};
    }
    if (text.size() < length) return {};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {};
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (code < min || code > 0x10FFFF || surrogate) return {};
    return {length, code};
}

}  // namespace

std::size_t utf8SequenceLength(std::string_view text) { return readUtf8(text).length; }

void appendHexByte(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

void appendEscaped(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.front());
        const Utf8Char decoded = c < 0x80 ? Utf8Char{1, c} : readUtf8(text);
        const std::size_t n = decoded.length;
        // Bytes that are not UTF-8 pass as they are (a name in an old code page stays
        // readable), except those an 8-bit terminal takes for controls.
        const std::string_view piece = text.substr(0, n == 0 ? 1 : n);
        const bool unsafe = n == 0 ? isLoneC1Byte(c) : n == 1 ? isC0OrDelete(c) : isUnsafeCodePoint(decoded.code);
        if (unsafe) {
            appendHexEscapes(out, piece);
        } else {
            out += piece;
        }
        text.remove_prefix(piece.size());
    }
}

std::string escapeControlBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text);
    return out;
}

void Console::write(std::string_view bytes) {
    if (discard_) return;
    if (const int err = writeAll(fd_, bytes); err != 0 && error_ == 0) error_ = err;
}

void Console::appendShown(std::string& out, std::string_view archiveText) const {
    if (escapeArchiveText_) {
        appendEscaped(out, archiveText);
    } else {
        out += archiveText;
    }
}

void Diagnostics::report(std::string_view subject, std::string_view reason) {
    reportPlain(escapeControlBytes(subject) + ": " + std::string(reason));
}

void Diagnostics::report(const Problem& problem) {
    std::string text;
    if (!problem.subject.empty() || problem.subjectIsName) {
        // Subjects come from the archive or the user: shown escaped, as every name is.
        text = escapeControlBytes(problem.subject);
        text += ": ";
    }
    text += problem.reason;
    if (problem.isError()) {
        reportPlain(text);
    } else {
        writeLine(text);
    }
}

void Diagnostics::reportPlain(std::string_view reason) {
    ++reported_;
    writeLine(reason);
}

void Diagnostics::note(std::string_view subject, std::string_view text) {
    writeLine(escapeControlBytes(subject) + ": " + std::string(text));
}

void Diagnostics::writeLine(std::string_view reason) {
    if (beforeLine_) beforeLine_();
    std::string line;
    line.reserve(program_.size() + reason.size() + 3);
    line += program_;
    line += ": ";
    line += reason;
    line += '\n';
    // Nothing sensible remains to be done when standard error itself cannot be written.
    (void)writeAll(fd_, line);
}

}  // namespace unbcl
