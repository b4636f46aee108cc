#pragma once
// Finding the next byte of a string that needs attention, 16 bytes at a time
// where SSE2 is there.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace yajson {
namespace detail {

inline std::uint64_t load8(const char* p) noexcept
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// High bit set in each byte of x that is the quote, a backslash, a control
// character or (when asked) 0x80 and above. Bytes above the first flagged
// one may be flagged wrongly; the first one is always right.
inline std::uint64_t special_bytes(std::uint64_t x, char quote, bool control, bool high) noexcept
{
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    const std::uint64_t q = x ^ (ones * static_cast<unsigned char>(quote));
    const std::uint64_t b = x ^ (ones * static_cast<unsigned char>('\\'));
    std::uint64_t m = ((q - ones) & ~q) | ((b - ones) & ~b);
    if (control)
        m |= (x - ones * 0x20) & ~x;
    m &= highs;
    if (high)
        m |= x & highs;
    return m;
}

// First byte in [p, end) that is the quote, a backslash, a control
// character (when stop_at_control) or a byte of 0x80 and above (when
// stop_at_high); end when there is none.
inline const char* scan_string(const char* p, const char* end, char quote, bool stop_at_control,
                               bool stop_at_high = false) noexcept
{
#if defined(__SSE2__)
    const __m128i vq = _mm_set1_epi8(quote);
    const __m128i vbs = _mm_set1_epi8('\\');
    const __m128i v1f = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i m = _mm_or_si128(_mm_cmpeq_epi8(x, vq), _mm_cmpeq_epi8(x, vbs));
        if (stop_at_control)
            m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_max_epu8(x, v1f), v1f));
        int mask = _mm_movemask_epi8(m);
        if (stop_at_high)
            mask |= _mm_movemask_epi8(x);
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    // Eight bytes at a time; the lowest flagged byte of each test is exact.
    const char* const begin = p;
    while (end - p >= 8) {
        const std::uint64_t m = special_bytes(load8(p), quote, stop_at_control, stop_at_high);
        if (m != 0)
            return p + (__builtin_ctzll(m) >> 3);
        p += 8;
    }
    if (p == end)
        return end;
    if (end - begin >= 8) {
        // The last bytes, through an overlapping load of the final eight.
        const std::size_t skip = static_cast<std::size_t>(8 - (end - p));
        const std::uint64_t m =
            special_bytes(load8(end - 8), quote, stop_at_control, stop_at_high) >> (8 * skip) << (8 * skip);
        return m != 0 ? end - 8 + (__builtin_ctzll(m) >> 3) : end;
    }
    for (; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == static_cast<unsigned char>(quote) || c == '\\' || (stop_at_control && c < 0x20) ||
            (stop_at_high && c >= 0x80))
            return p;
    }
    return end;
}

} // namespace detail
} // namespace yajson
