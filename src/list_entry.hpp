// The entry record an index yields and the list the run keeps of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace unbcl {

// One index entry. fname holds the name's bytes exactly as the index spells them.
struct ListMLV {
    std::string fname;
    std::int32_t offset = 0;
    std::int32_t length = 0;

    friend bool operator==(const ListMLV&, const ListMLV&) = default;
};

// Entries in index order; duplicates are kept, nothing is sorted.
using EntryList = std::vector<ListMLV>;

}  // namespace unbcl
