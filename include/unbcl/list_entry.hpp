// SPDX-License-Identifier: MIT
// The entry record an index yields and the compact list a run keeps of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

namespace unbcl {

// One index entry. fname is a view of the name's bytes exactly as the index spells them; who
// hands out a ListMLV says how long the bytes stay valid.
struct ListMLV {
    std::string_view fname;
    std::int32_t offset = 0;
    std::int32_t length = 0;

    friend bool operator==(const ListMLV&, const ListMLV&) = default;
};

void PrintTo(const ListMLV& entry, std::ostream* os);

// Entries in index order; duplicates are kept, nothing is sorted.
//
// An index of millions of short records must not cost many times its own size, so entries are
// packed back to back (name length, name bytes, offset, length) into blocks that never move
// and are never copied as the list grows. A name handed out stays valid as long as the list.
// Random access walks at most kCheckpointEvery entries from the nearest checkpoint.
class EntryList {
public:
    class const_iterator;

    EntryList() = default;
    EntryList(std::initializer_list<ListMLV> entries);
    EntryList(EntryList&&) noexcept = default;
    EntryList& operator=(EntryList&&) noexcept = default;
    EntryList(const EntryList& other);
    EntryList& operator=(const EntryList& other);

    // Copies the name's bytes into the list. Throws std::bad_alloc when memory runs out.
    void push_back(const ListMLV& entry);

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    ListMLV operator[](std::size_t index) const;

    const_iterator begin() const;
    const_iterator end() const;

    friend bool operator==(const EntryList& a, const EntryList& b);

private:
    struct Block {
        std::unique_ptr<unsigned char[]> bytes;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };
    struct Position {
        std::uint32_t block = 0;
        std::uint32_t offset = 0;
    };

    static constexpr std::size_t kFirstBlockBytes = std::size_t{4} << 10;
    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
    static constexpr std::size_t kCheckpointEvery = 64;

    // Decodes the entry at pos and moves pos to the next one.
    ListMLV decodeAndAdvance(Position& pos) const;

    std::vector<Block> blocks_;
    std::vector<Position> checkpoints_;
    std::size_t size_ = 0;
};

class EntryList::const_iterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ListMLV;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = ListMLV;

    const_iterator() = default;
    ListMLV operator*() const { return current_; }
    const_iterator& operator++();
    const_iterator operator++(int) {
        const_iterator before = *this;
        ++*this;
        return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.index_ == b.index_; }

private:
    friend class EntryList;
    const_iterator(const EntryList* list, std::size_t index);

    const EntryList* list_ = nullptr;
    std::size_t index_ = 0;
    Position next_;
    ListMLV current_;
};

void PrintTo(const EntryList& entries, std::ostream* os);

}  // namespace unbcl
