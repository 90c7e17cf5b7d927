#include "console.hpp"

#include "file_io.hpp"

namespace unbcl {

namespace {

bool isControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

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
