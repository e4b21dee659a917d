#include "unit_cache.hpp"

#include <type_traits>

namespace tqpy {

static_assert(std::is_trivially_destructible_v<UnitCache>, "nothing of the cache may run when a thread ends");
static_assert(sizeof(UnitCache) <= 4096, "a few KiB a thread");
constinit thread_local UnitCache t_unit_cache{};

const tq::ParsedUnit* UnitCache::remember(const UnitKey& key, PyObject* str, const tq::ParsedUnit& unit) {
    Set& set = set_of(key);
    Entry& entry = set.ways[set.oldest];
    std::size_t length = key.length();
    entry = Entry{key, unit, length < UnitKey::kMaxLength && std::memchr(key.text(), 0, length) == nullptr};
    set.oldest = static_cast<unsigned char>((set.oldest + 1) % kWays);
    return &note(str, entry).unit;
}

}  // namespace tqpy
