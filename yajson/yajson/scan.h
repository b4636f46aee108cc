#pragma once
// Finding the next byte of a string that needs attention, 16 bytes at a time
// where SSE2 is there.

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace yajson {
namespace detail {

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
