#pragma once
// 64-bit hash of object keys (key index and the parser's key set).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace yajson {
namespace detail {

inline std::uint64_t load64_le(const unsigned char* p) noexcept
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline std::uint32_t load32_le(const unsigned char* p) noexcept
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline std::uint64_t hash_key(const char* data, std::size_t n) noexcept
{
    constexpr std::uint64_t k1 = 0xa0761d6478bd642fULL;
    constexpr std::uint64_t k2 = 0xe7037ed1a0b428dbULL;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    std::uint64_t h = (static_cast<std::uint64_t>(n) * k2) ^ k1;
    if (n <= 8) {
        std::uint64_t t = 0;
        if (n >= 4) {
            h ^= load32_le(p);
            t = load32_le(p + n - 4);
        } else if (n > 0) {
            h ^= (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[n / 2]) << 8) |
                 p[n - 1];
        }
        h = ((h * k2) ^ t) * k1;
    } else if (n <= 16) {
        h = (((h ^ load64_le(p)) * k2) ^ load64_le(p + n - 8)) * k1;
    } else {
        const std::size_t q = n - 16;
        for (std::size_t i = 0; i <= q; i += 16)
            h = (((h ^ load64_le(p + i)) * k2) ^ load64_le(p + i + 8)) * k1;
        h = (((h ^ load64_le(p + q)) * k2) ^ load64_le(p + n - 8)) * k1;
    }
    h ^= h >> 32;
    h *= k1;
    h ^= h >> 29;
    return h;
}

inline std::uint64_t hash_key(std::string_view key) noexcept
{
    return hash_key(key.data(), key.size());
}

struct KeyHasher {
    std::size_t operator()(std::string_view key) const noexcept
    {
        return static_cast<std::size_t>(hash_key(key.data(), key.size()));
    }
};

} // namespace detail
} // namespace yajson
