// SPDX-License-Identifier: MIT
#include "unbcl/list_entry.hpp"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <utility>

namespace unbcl {

namespace {

// A name of up to 254 bytes (every name an index line can hold) costs one byte of length.
constexpr unsigned char kLongNameMark = 0xFF;

std::size_t encodedSize(std::size_t nameSize) {
    const std::size_t lengthBytes = nameSize < kLongNameMark ? 1 : 1 + sizeof(std::uint32_t);
    return lengthBytes + nameSize + 2 * sizeof(std::int32_t);
}

template <typename T>
T loadAt(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename T>
unsigned char* storeAt(unsigned char* p, T value) {
    std::memcpy(p, &value, sizeof value);
    return p + sizeof value;
}

}  // namespace

void PrintTo(const ListMLV& entry, std::ostream* os) {
    *os << "{\"" << entry.fname << "\", " << entry.offset << ", " << entry.length << "}";
}

void PrintTo(const EntryList& entries, std::ostream* os) {
    *os << "{";
    for (const ListMLV& e : entries) {
        PrintTo(e, os);
        *os << " ";
    }
    *os << "}";
}

EntryList::EntryList(std::initializer_list<ListMLV> entries) {
    for (const ListMLV& e : entries) push_back(e);
}

EntryList::EntryList(const EntryList& other) {
    for (const ListMLV& e : other) push_back(e);
}

EntryList& EntryList::operator=(const EntryList& other) {
    if (this != &other) {
        EntryList copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void EntryList::push_back(const ListMLV& entry) {
    const std::size_t need = encodedSize(entry.fname.size());
    if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < need) {
        // Small lists stay small: blocks start at 4 KiB and double up to kBlockBytes.
        const std::size_t grown = blocks_.empty() ? kFirstBlockBytes : std::min(kBlockBytes, 2 * blocks_.back().capacity);
        const std::size_t capacity = std::max(grown, need);
        blocks_.reserve(blocks_.size() + 1);
        blocks_.push_back(Block{std::make_unique_for_overwrite<unsigned char[]>(capacity), capacity, 0});
    }
    Block& block = blocks_.back();
    if (size_ % kCheckpointEvery == 0) {
        checkpoints_.push_back(
            {static_cast<std::uint32_t>(blocks_.size() - 1), static_cast<std::uint32_t>(block.used)});
    }
    unsigned char* p = block.bytes.get() + block.used;
    if (entry.fname.size() < kLongNameMark) {
        *p++ = static_cast<unsigned char>(entry.fname.size());
    } else {
        *p++ = kLongNameMark;
        p = storeAt(p, static_cast<std::uint32_t>(entry.fname.size()));
    }
    if (!entry.fname.empty()) std::memcpy(p, entry.fname.data(), entry.fname.size());
    p += entry.fname.size();
    p = storeAt(p, entry.offset);
    storeAt(p, entry.length);
    block.used += need;
    ++size_;
}

ListMLV EntryList::decodeAndAdvance(Position& pos) const {
    if (pos.offset == blocks_[pos.block].used) {
        ++pos.block;
        pos.offset = 0;
    }
    const unsigned char* start = blocks_[pos.block].bytes.get() + pos.offset;
    const unsigned char* p = start;
    std::size_t nameSize = *p++;
    if (nameSize == kLongNameMark) {
        nameSize = loadAt<std::uint32_t>(p);
        p += sizeof(std::uint32_t);
    }
    ListMLV entry;
    entry.fname = std::string_view(reinterpret_cast<const char*>(p), nameSize);
    p += nameSize;
    entry.offset = loadAt<std::int32_t>(p);
    entry.length = loadAt<std::int32_t>(p + sizeof(std::int32_t));
    pos.offset += static_cast<std::uint32_t>(encodedSize(nameSize));
    return entry;
}

ListMLV EntryList::operator[](std::size_t index) const {
    Position pos = checkpoints_[index / kCheckpointEvery];
    for (std::size_t i = index - index % kCheckpointEvery; i < index; ++i) decodeAndAdvance(pos);
    return decodeAndAdvance(pos);
}

EntryList::const_iterator EntryList::begin() const { return const_iterator(this, 0); }
EntryList::const_iterator EntryList::end() const { return const_iterator(this, size_); }

EntryList::const_iterator::const_iterator(const EntryList* list, std::size_t index) : list_(list), index_(index) {
    if (index_ < list_->size_) current_ = list_->decodeAndAdvance(next_);
}

EntryList::const_iterator& EntryList::const_iterator::operator++() {
    ++index_;
    if (index_ < list_->size_) current_ = list_->decodeAndAdvance(next_);
    return *this;
}

bool operator==(const EntryList& a, const EntryList& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace unbcl
