#include "unbcl/console.hpp"

#include "unbcl/file_io.hpp"

#include <cstdint>

namespace unbcl {

namespace {

bool isControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::size_t utf8SequenceLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
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
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < min || code > 0x10FFFF || surrogate ? 0 : length;
}

void appendHexByte(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

void appendEscaped(std::string& out, std::string_view text) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isControlByte(c)) {
            out += "\\x";
            appendHexByte(out, c);
        } else {
            out += ch;
        }
    }
}

std::string escapeControlBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text);
    return out;
}

void Console::write(std::string_view bytes) {
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

void Diagnostics::reportPlain(std::string_view reason) {
    reported_ = true;
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
