// The unit texts a thread parsed lately, with what they parse to, so that a text seen before is not parsed again.
//
// Only successes are kept, so every failure is parsed and reported as it always is. An entry's key is its text, and
// an entry answers only for a str of exactly that text. To find it, a str is either read and its text looked up
// (find by key), or, when the same str object was seen lately, compared with the entry it found then (find by
// identity): the object is only where to look, since a str that is freed gives its address to the next one.
//
// Each thread has its own entries: no thread reads what another writes, on a free-threaded build too. The cache
// is plain data, zero when a thread starts and never destroyed, so nothing of it runs when a thread ends (the
// interpreter ends daemon threads at exit by unwinding them); a thread's cache takes a few KiB, however many texts
// it sees. It holds no reference to any object.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "quantity.hpp"

namespace tqpy {

// A text of at most kMaxLength bytes as a key: the bytes, zero after the text, and in the last byte the length
// plus one. Two keys are equal exactly when their texts are, and no key is all zero, as an empty entry is.
struct UnitKey {
    static constexpr std::size_t kMaxLength = 23;
    std::uint64_t words[3];

    // `padded` holds the text, n <= kMaxLength bytes, and zeros up to kMaxLength.
    static UnitKey of(const char* padded, std::size_t n) {
        unsigned char bytes[sizeof(words)];
        std::memcpy(bytes, padded, kMaxLength);
        bytes[kMaxLength] = static_cast<unsigned char>(n + 1);
        UnitKey key;
        std::memcpy(key.words, bytes, sizeof bytes);
        return key;
    }
    bool operator==(const UnitKey& other) const {
        return ((words[0] ^ other.words[0]) | (words[1] ^ other.words[1]) | (words[2] ^ other.words[2])) == 0;
    }
    std::size_t length() const { return reinterpret_cast<const unsigned char*>(words)[kMaxLength] - 1U; }
    // The text, followed by a zero byte when it is shorter than kMaxLength.
    const char* text() const { return reinterpret_cast<const char*>(words); }
};

// 32 entries: 8 sets of 4, a text's set chosen by a hash of its key, the oldest entry of a set replaced. Beside them,
// 16 places that each tie a str object to the entry it was found in, chosen by the object's address, and the one
// place for what a text without a key parses to. About 3.6 KiB in all.
class UnitCache {
public:
    // The entry of `str`, an exact str seen lately whose text is still that entry's, or nullptr (and `text` as it
    // was). The text is the entry's until the thread's next remember(); so is the unit.
    const tq::ParsedUnit* find(PyObject* str, std::string_view& text) {
        const Seen& seen = seen_[seen_place(str)];
        if (seen.str != str || !seen.entry->comparable) return nullptr;  // a place with a str has an entry
        // The entry's text ends at its first zero byte, and has none inside (comparable).
        if (PyUnicode_CompareWithASCIIString(str, seen.entry->key.text()) != 0) return nullptr;
        text = std::string_view(seen.entry->key.text(), seen.entry->key.length());
        return &seen.entry->unit;
    }

    // The entry for the text of `key`, or nullptr; the exact str `str` (or nullptr) is tied to it.
    const tq::ParsedUnit* find(const UnitKey& key, PyObject* str) {
        for (Entry& entry : set_of(key).ways)
            if (entry.key.words[0] == key.words[0] && entry.key == key) return &note(str, entry).unit;
        return nullptr;
    }

    // Keeps what the text of `key` parses to, in place of the oldest entry of its set; that entry's unit. The exact
    // str `str` (or nullptr) is tied to it.
    const tq::ParsedUnit* remember(const UnitKey& key, PyObject* str, const tq::ParsedUnit& unit);

    // Holds what a text without a key parses to, until the next call of this.
    const tq::ParsedUnit* hold(const tq::ParsedUnit& unit) {
        held_ = unit;
        return &held_;
    }

private:
    static constexpr unsigned kSetBits = 3;
    static constexpr std::size_t kSets = std::size_t{1} << kSetBits;
    static constexpr std::size_t kWays = 4;
    static constexpr unsigned kSeenBits = 4;
    struct Entry {
        UnitKey key{};  // all zero: empty
        tq::ParsedUnit unit;
        bool comparable = false;  // the text is shorter than kMaxLength and holds no zero byte
    };
    struct Set {
        Entry ways[kWays];
        unsigned char oldest = 0;
    };
    struct Seen {
        const void* str = nullptr;  // never read through: an address to compare with
        Entry* entry = nullptr;
    };

    Set& set_of(const UnitKey& key) {
        std::uint64_t h = (key.words[0] + key.words[1] + key.words[2]) * 0x9E3779B97F4A7C15U;
        return sets_[h >> (64 - kSetBits)];  // the product's top bits
    }
    static std::size_t seen_place(const void* str) {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(str) >> 4) * 0x9E3779B97F4A7C15U >>
                                        (64 - kSeenBits));
    }
    Entry& note(PyObject* str, Entry& entry) {
        if (str != nullptr) seen_[seen_place(str)] = Seen{str, &entry};
        return entry;
    }

    Set sets_[kSets] = {};
    Seen seen_[std::size_t{1} << kSeenBits] = {};
    tq::ParsedUnit held_;
};

// The thread's cache (unit_cache.cpp).
extern constinit thread_local UnitCache t_unit_cache;

}  // namespace tqpy
