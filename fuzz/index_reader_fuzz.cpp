// Raw index bytes through the reader. Beyond not crashing, the reading must not depend on
// how the bytes arrive: whole, or in pieces whose size the first input byte chooses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "index_reader.hpp"

namespace {

struct Reading {
    std::string header1, header2;
    unbcl::EntryList entries;
    unbcl::ReadingStop stop;
};

Reading readInPieces(const std::string& bytes, std::size_t piece) {
    std::size_t at = 0;
    unbcl::IndexReader reader(
        [&](std::span<char> into) -> std::ptrdiff_t {
            std::size_t n = piece < into.size() ? piece : into.size();
            if (n > bytes.size() - at) n = bytes.size() - at;
            std::memcpy(into.data(), bytes.data() + at, n);
            at += n;
            return static_cast<std::ptrdiff_t>(n);
        },
        512);
    Reading r;
    r.header1 = reader.readHeaderLine();
    r.header2 = reader.readHeaderLine();
    while (auto e = reader.nextEntry()) r.entries.push_back(*e);
    r.stop = reader.stop();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] % 17 + 1;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const Reading whole = readInPieces(bytes, bytes.size() + 1);
    const Reading pieces = readInPieces(bytes, piece);
    const bool same = whole.header1 == pieces.header1 && whole.header2 == pieces.header2 &&
                      whole.entries == pieces.entries && whole.stop.reason == pieces.stop.reason &&
                      whole.stop.line == pieces.stop.line;
    // A header line or a name holds at most 98 characters.
    bool bounded = whole.header1.size() <= 98 && whole.header2.size() <= 98;
    for (const auto& e : whole.entries) bounded = bounded && e.fname.size() <= 97;
    if (!same || !bounded || whole.stop.reason == unbcl::StopReason::None) std::abort();
    return 0;
}
