// SPDX-License-Identifier: MIT
// Raw index bytes through the reader. Beyond not crashing, the reading must not depend on
// how the bytes arrive: whole, or in pieces whose size the first input byte chooses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "unbcl/index_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] % 17 + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const unbcl::IndexContents whole = unbcl::readWholeIndex(unbcl::readFromMemory(bytes), 512);
    const unbcl::IndexContents pieces = unbcl::readWholeIndex(unbcl::readFromMemory(bytes, piece), 512);
    const bool same = whole.header1 == pieces.header1 && whole.header2 == pieces.header2 &&
                      whole.entries == pieces.entries && whole.stop.reason == pieces.stop.reason &&
                      whole.stop.line == pieces.stop.line;
    // A header line or a name holds at most 98 characters.
    bool bounded = whole.header1.size() <= 98 && whole.header2.size() <= 98;
    for (const auto& e : whole.entries) bounded = bounded && e.fname.size() <= 97;
    if (!same || !bounded || whole.stop.reason == unbcl::StopReason::None) std::abort();
    return 0;
}
