// SPDX-License-Identifier: MIT
// A second index reader, written plainly from the format's rules for the differential test:
// the whole index in one string, carriage returns removed and the text cut at 0x1A first,
// then one character at a time through the four states. It is slow and obvious on purpose.
#pragma once

#include <string>

#include "unbcl/index_reader.hpp"
#include "unbcl/list_entry.hpp"

namespace unbcl::test {

struct PlainReading {
    std::string header1;
    std::string header2;
    EntryList entries;
    StopReason stop = StopReason::None;
    long stopLine = 0;
};

PlainReading readPlainly(const std::string& raw);

}  // namespace unbcl::test
