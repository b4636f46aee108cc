#pragma once
// JsonValue tree -> JSON text, compact or indented.

#include <yajson/scan.h>
#include <yajson/value.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace yajson {

struct SerializeOptions {
    // Below 0: compact; 0 or more: indented by this many spaces per level.
    std::int32_t indent = -1;
    // Write every UTF-8 sequence as \u escapes.
    bool escape_non_ascii = false;
    // Write NaN and infinities as NaN / Infinity instead of null.
    bool write_nan_infinity = false;
    // Members sorted by key instead of insertion order.
    bool sort_keys = false;
};

namespace detail {

#define YAJSON_ALWAYS_INLINE inline __attribute__((always_inline))

class OutputBuffer {
public:
    static constexpr std::size_t capacity = 4096;

    YAJSON_ALWAYS_INLINE void put(char c)
    {
        if (fill_ == capacity)
            flush();
        buffer_[fill_++] = c;
    }

    YAJSON_ALWAYS_INLINE void put2(char a, char b)
    {
        if (fill_ > capacity - 2)
            flush();
        buffer_[fill_] = a;
        buffer_[fill_ + 1] = b;
        fill_ += 2;
    }

    YAJSON_ALWAYS_INLINE void write(const char* p, std::size_t n)
    {
        if (n <= capacity - fill_) {
            if (n <= 16)
                copy_small(buffer_ + fill_, p, n);
            else
                std::memcpy(buffer_ + fill_, p, n);
            fill_ += n;
            return;
        }
        write_slow(p, n);
    }

    // Room for n (at most capacity) bytes in the staging array; the caller
    // writes them and then calls advance.
    YAJSON_ALWAYS_INLINE char* room(std::size_t n)
    {
        if (n > capacity - fill_)
            flush();
        return buffer_ + fill_;
    }

    YAJSON_ALWAYS_INLINE void advance(std::size_t n) { fill_ += n; }

    void reserve(std::size_t n) { result_.reserve(n); }

    std::string take()
    {
        flush();
        return std::move(result_);
    }

private:
    __attribute__((noinline)) void flush()
    {
        result_.append(buffer_, fill_);
        fill_ = 0;
    }

    __attribute__((noinline)) void write_slow(const char* p, std::size_t n)
    {
        flush();
        if (n < capacity) {
            std::memcpy(buffer_, p, n);
            fill_ = n;
        } else {
            result_.append(p, n);
        }
    }

    char buffer_[capacity];
    std::size_t fill_ = 0;
    std::string result_;
};

inline const char* digit_pairs() noexcept
{
    return "00010203040506070809"
           "10111213141516171819"
           "20212223242526272829"
           "30313233343536373839"
           "40414243444546474849"
           "50515253545556575859"
           "60616263646566676869"
           "70717273747576777879"
           "80818283848586878889"
           "90919293949596979899";
}

// Writes the decimal digits of v at buf; returns how many (1 to 20).
YAJSON_ALWAYS_INLINE std::size_t format_uint(std::uint64_t v, char* buf) noexcept
{
    static constexpr std::uint64_t powers[20] = {0,
                                                 10ULL,
                                                 100ULL,
                                                 1000ULL,
                                                 10000ULL,
                                                 100000ULL,
                                                 1000000ULL,
                                                 10000000ULL,
                                                 100000000ULL,
                                                 1000000000ULL,
                                                 10000000000ULL,
                                                 100000000000ULL,
                                                 1000000000000ULL,
                                                 10000000000000ULL,
                                                 100000000000000ULL,
                                                 1000000000000000ULL,
                                                 10000000000000000ULL,
                                                 100000000000000000ULL,
                                                 1000000000000000000ULL,
                                                 10000000000000000000ULL};
    std::size_t d = ((64 - static_cast<std::size_t>(__builtin_clzll(v | 1))) * 1233) >> 12;
    const std::size_t digits = d - (v < powers[d] ? 1 : 0) + 1;
    const char* pairs = digit_pairs();
    char* p = buf + digits;
    while (v >= 100) {
        const std::size_t i = static_cast<std::size_t>(v % 100) * 2;
        v /= 100;
        p -= 2;
        p[0] = pairs[i];
        p[1] = pairs[i + 1];
    }
    if (v >= 10) {
        p -= 2;
        p[0] = pairs[v * 2];
        p[1] = pairs[v * 2 + 1];
    } else {
        *--p = static_cast<char>('0' + v);
    }
    return digits;
}

// The eight decimal digits of v (below 10^8) as ASCII bytes, the first in
// the lowest byte: divisions by 10^4, 100 and 10 done in all lanes at once.
YAJSON_ALWAYS_INLINE std::uint64_t eight_digits_ascii(std::uint32_t v) noexcept
{
    std::uint64_t x = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
    const std::uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007FULL;
    x = hundreds | ((x - hundreds * 100) << 16);
    const std::uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000FULL;
    x = tens | ((x - tens * 10) << 8);
    return x + 0x3030303030303030ULL;
}

// Writes x (positive, finite, normal) as printf's "%.17g" does, with ".0"
// appended where that has neither point nor exponent, or returns 0 when x
// lies outside the range done here (below 1e-16 or from 1e18 on). buf must
// have room for 40 bytes.
// The 17 digits are x * 10^s rounded half to even, computed exactly:
// x = m * 2^e with m below 2^54, and m * 5^s fits 128 bits for s up to 32.
inline std::size_t format_17g(double x, char* buf) noexcept
{
#if defined(__SIZEOF_INT128__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    using u128 = unsigned __int128;
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased = static_cast<int>(bits >> 52);
    if (biased == 0)
        return 0; // subnormal
    const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int e = biased - 1075;
    // floor(log10(x)) is k or k + 1, from the binary exponent.
    int k = ((biased - 1023) * 78913) >> 18;
    const int s = 16 - k;
    if (s < 0 || s > 32)
        return 0;
    static constexpr std::uint64_t pow5[28] = {1ULL,
                                               5ULL,
                                               25ULL,
                                               125ULL,
                                               625ULL,
                                               3125ULL,
                                               15625ULL,
                                               78125ULL,
                                               390625ULL,
                                               1953125ULL,
                                               9765625ULL,
                                               48828125ULL,
                                               244140625ULL,
                                               1220703125ULL,
                                               6103515625ULL,
                                               30517578125ULL,
                                               152587890625ULL,
                                               762939453125ULL,
                                               3814697265625ULL,
                                               19073486328125ULL,
                                               95367431640625ULL,
                                               476837158203125ULL,
                                               2384185791015625ULL,
                                               11920928955078125ULL,
                                               59604644775390625ULL,
                                               298023223876953125ULL,
                                               1490116119384765625ULL,
                                               7450580596923828125ULL};
    constexpr std::uint64_t ten16 = 10000000000000000ULL;
    constexpr std::uint64_t ten17 = 100000000000000000ULL;
    // m * 5^s, 5^s split into two factors of at most 5^27 when needed.
    u128 product = static_cast<u128>(m) * pow5[s > 27 ? 27 : s];
    if (s > 27)
        product *= pow5[s - 27];
    // x * 10^s = product * 2^shift, below 10^18: its integer part and
    // whether the rest is below, at or above one half.
    const int shift = e + s;
    std::uint64_t q;
    int rest_vs_half = -1;
    bool rest_zero = true;
    if (shift >= 0) {
        if (shift >= 64)
            return 0;
        q = static_cast<std::uint64_t>(product << shift);
    } else {
        const int r = -shift;
        if (r >= 128)
            return 0;
        q = static_cast<std::uint64_t>(product >> r);
        const u128 rest = product & ((u128{1} << r) - 1);
        const u128 half = u128{1} << (r - 1);
        rest_vs_half = rest < half ? -1 : rest == half ? 0 : 1;
        rest_zero = rest == 0;
    }
    bool round_up;
    if (q >= ten17) {
        // One digit too many: the estimate of the exponent was one short.
        ++k;
        const std::uint64_t dropped = q % 10;
        q /= 10;
        round_up = dropped > 5 || (dropped == 5 && (!rest_zero || (q & 1) != 0));
    } else {
        round_up = rest_vs_half > 0 || (rest_vs_half == 0 && (q & 1) != 0);
    }
    std::uint64_t digits = q + (round_up ? 1 : 0);
    if (digits == ten17) {
        digits = ten16;
        ++k;
    }
    // "%g" drops trailing zeros of the fraction, and the point with them.
    int last = 16;
    if (digits % 10 == 0) {
        std::uint64_t t = digits / 10;
        for (--last; last > 0 && t % 10 == 0; --last)
            t /= 10;
    }
    // The digits are stored straight into place, never read back wider
    // than they were written.
    const char first = static_cast<char>('0' + digits / ten16);
    const std::uint64_t rest16 = digits % ten16;
    const std::uint64_t w1 = eight_digits_ascii(static_cast<std::uint32_t>(rest16 / 100000000));
    const std::uint64_t w2 = eight_digits_ascii(static_cast<std::uint32_t>(rest16 % 100000000));
    char* p = buf;
    if (k >= -4 && k < 17) {
        if (k >= 0) {
            // The digits one place to the right, then the integer digits
            // moved back over the gap and the point put after them.
            p[1] = first;
            std::memcpy(p + 2, &w1, 8);
            std::memcpy(p + 10, &w2, 8);
            p[18] = '0';
            for (int i = 0; i <= k; ++i)
                p[i] = p[i + 1];
            p[k + 1] = '.';
            return static_cast<std::size_t>(last > k ? last + 2 : k + 3);
        }
        // "0.", -k-1 zeros and the digits.
        std::memcpy(p, "0.000000", 8);
        const int lead = 1 - k;
        p[lead] = first;
        std::memcpy(p + lead + 1, &w1, 8);
        std::memcpy(p + lead + 9, &w2, 8);
        return static_cast<std::size_t>(lead + last + 1);
    }
    p[0] = first;
    p[1] = '.';
    std::memcpy(p + 2, &w1, 8);
    std::memcpy(p + 10, &w2, 8);
    p += last > 0 ? last + 2 : 1;
    *p++ = 'e';
    *p++ = k < 0 ? '-' : '+';
    const int ak = k < 0 ? -k : k;
    if (ak >= 100)
        *p++ = static_cast<char>('0' + ak / 100);
    std::memcpy(p, digit_pairs() + (ak % 100) * 2, 2);
    p += 2;
    return static_cast<std::size_t>(p - buf);
#else
    (void)x;
    (void)buf;
    return 0;
#endif
}

// Writes a finite double at buf (at least 40 bytes); returns the length.
inline std::size_t format_double(double x, char* buf) noexcept
{
    constexpr double two53 = 9007199254740992.0;
    char* p = buf;
    if (x == 0 && std::signbit(x)) {
        std::memcpy(p, "0.0", 3);
        return 3;
    }
    if (x < 0) {
        *p++ = '-';
        x = -x;
    }
    // Integral tests by conversion: exact for magnitudes up to 2^53.
    if (x <= two53 && static_cast<double>(static_cast<std::int64_t>(x)) == x) {
        p += format_uint(static_cast<std::uint64_t>(x), p);
        *p++ = '.';
        *p++ = '0';
        return static_cast<std::size_t>(p - buf);
    }
    if (x > 1e-6 && x < 1e15) {
        alignas(16) static constexpr double powers[10] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
        // Which of the nine products are integral, tested side by side: most
        // floats have no short text, and then none is. A product above 2^53
        // counts as not integral (and so do all after it).
        unsigned integral = 0;
#if defined(__SSE2__)
        // Two products at a time. Below 2^52, adding and taking away 2^52
        // rounds to an integer, which gives y back only when y is one; from
        // 2^52 on every double is an integer.
        const __m128d two52 = _mm_set1_pd(4503599627370496.0);
        const __m128d limit = _mm_set1_pd(two53);
        const __m128d xx = _mm_set1_pd(x);
        for (int k = 0; k < 10; k += 2) {
            const __m128d y = _mm_mul_pd(xx, _mm_loadu_pd(powers + k));
            const __m128d rounded = _mm_sub_pd(_mm_add_pd(y, two52), two52);
            const __m128d whole = _mm_or_pd(_mm_cmpeq_pd(rounded, y), _mm_cmpge_pd(y, two52));
            integral |= static_cast<unsigned>(_mm_movemask_pd(_mm_and_pd(whole, _mm_cmple_pd(y, limit)))) << k;
        }
        integral &= ~1u; // k = 0 is the integral test above
#else
        for (int k = 1; k <= 9; ++k) {
            const double y = x * powers[k];
            const double in_range = y <= two53 ? y : 0.5;
            integral |= static_cast<unsigned>(static_cast<double>(static_cast<std::int64_t>(in_range)) == in_range)
                        << k;
        }
#endif
        for (int k = integral == 0 ? 10 : __builtin_ctz(integral); k <= 9; ++k) {
            const double y = x * powers[k];
            if (y > two53)
                break;
            if (static_cast<double>(static_cast<std::int64_t>(y)) != y)
                continue;
            // y/10^k is the decimal this text stands for, rounded once (both
            // are exact doubles), so it reads back as x only when it equals x.
            if (y / powers[k] != x)
                break;
            char digits[20];
            const std::size_t n = format_uint(static_cast<std::uint64_t>(y), digits);
            const std::size_t k_digits = static_cast<std::size_t>(k);
            if (n <= k_digits) {
                *p++ = '0';
                *p++ = '.';
                for (std::size_t i = n; i < k_digits; ++i)
                    *p++ = '0';
                copy_small(p, digits, n);
                p += n;
            } else {
                copy_small(p, digits, n - k_digits);
                p += n - k_digits;
                *p++ = '.';
                copy_small(p, digits + n - k_digits, k_digits);
                p += k_digits;
            }
            return static_cast<std::size_t>(p - buf);
        }
    }
    // 17 significant digits, as "%.17g" gives them: exactly, in 128-bit
    // integers where they suffice, else by the standard library, whose
    // conversion with a precision is printf's.
    std::size_t n = format_17g(x, p);
    if (n != 0)
        return static_cast<std::size_t>(p - buf) + n;
    n = static_cast<std::size_t>(std::to_chars(p, p + 32, x, std::chars_format::general, 17).ptr - p);
    if (std::memchr(p, '.', n) == nullptr && std::memchr(p, 'e', n) == nullptr &&
        std::memchr(p, 'E', n) == nullptr) {
        p[n++] = '.';
        p[n++] = '0';
    }
    return static_cast<std::size_t>(p - buf) + n;
}

class Writer {
public:
    Writer(OutputBuffer* out, const SerializeOptions* options) noexcept : out_(out), options_(options) {}

    template <bool Compact, bool Ascii>
    void write_value(const JsonValue& v)
    {
        switch (v.kind()) {
        case Kind::Null:
            out_->write("null", 4);
            return;
        case Kind::Bool:
            if (v.p_.u != 0)
                out_->write("true", 4);
            else
                out_->write("false", 5);
            return;
        case Kind::Integer: {
            char* const start = out_->room(24);
            char* p = start;
            std::uint64_t magnitude = static_cast<std::uint64_t>(v.p_.i);
            if (v.p_.i < 0) {
                *p++ = '-';
                magnitude = ~magnitude + 1;
            }
            p += format_uint(magnitude, p);
            out_->advance(static_cast<std::size_t>(p - start));
            return;
        }
        case Kind::UInteger: {
            char* const start = out_->room(24);
            out_->advance(format_uint(v.p_.u, start));
            return;
        }
        case Kind::Float:
            write_float(v.p_.d);
            return;
        case Kind::String: {
            // An inline string sits in a 16-byte payload: readable in one load.
            if (!Ascii && v.inline_len_ != out_of_line) {
                write_short_string(v.p_.s, v.inline_len_);
                return;
            }
            const std::string_view s = v.string_view_unchecked();
            write_string_as<Ascii>(s.data(), s.size());
            return;
        }
        case Kind::Array:
            write_array<Compact, Ascii>(*v.p_.arr);
            return;
        case Kind::Object:
            write_object<Compact, Ascii>(*v.p_.obj);
            return;
        default:
            out_->write("null", 4);
            return;
        }
    }

    template <bool Compact, bool Ascii>
    void write_array(const JsonArray& a)
    {
        if (a.empty()) {
            out_->put2('[', ']');
            return;
        }
        out_->put('[');
        if (Compact) {
            bool first = true;
            for (const JsonValue& e : a) {
                if (!first)
                    out_->put(',');
                first = false;
                write_value<Compact, Ascii>(e);
            }
        } else {
            indent_ += options_->indent;
            out_->put('\n');
            bool first = true;
            for (const JsonValue& e : a) {
                if (!first)
                    out_->put2(',', '\n');
                first = false;
                write_indent();
                write_value<Compact, Ascii>(e);
            }
            indent_ -= options_->indent;
            out_->put('\n');
            write_indent();
        }
        out_->put(']');
    }

    template <bool Compact, bool Ascii>
    void write_object(const JsonObject& o)
    {
        if (o.empty()) {
            out_->put2('{', '}');
            return;
        }
        out_->put('{');
        if (options_->sort_keys) {
            write_object_sorted<Compact, Ascii>(o);
        } else {
            const JsonMember* members = o.members().data();
            const std::size_t n = o.size();
            if (!Compact) {
                indent_ += options_->indent;
                out_->put('\n');
            }
            for (std::size_t i = 0; i < n; ++i)
                write_member<Compact, Ascii>(members[i], i == 0);
            if (!Compact) {
                indent_ -= options_->indent;
                out_->put('\n');
                write_indent();
            }
        }
        out_->put('}');
    }

    // The members in key order; the caller writes the braces.
    template <bool Compact, bool Ascii>
    void write_object_sorted(const JsonObject& o)
    {
        const JsonMember* members = o.members().data();
        const std::size_t n = o.size();
        std::size_t fixed[64];
        std::unique_ptr<std::size_t[]> heap;
        std::size_t* order = fixed;
        if (n > 64) {
            heap.reset(new std::size_t[n]);
            order = heap.get();
        }
        for (std::size_t i = 0; i < n; ++i)
            order[i] = i;
        std::sort(order, order + n, [members](std::size_t a, std::size_t b) {
            return std::string_view(members[a].key) < std::string_view(members[b].key);
        });
        if (!Compact) {
            indent_ += options_->indent;
            out_->put('\n');
        }
        for (std::size_t i = 0; i < n; ++i)
            write_member<Compact, Ascii>(members[order[i]], i == 0);
        if (!Compact) {
            indent_ -= options_->indent;
            out_->put('\n');
            write_indent();
        }
    }

    template <bool Compact, bool Ascii>
    void write_member(const JsonMember& m, bool first)
    {
        if (Compact) {
            if (!first)
                out_->put(',');
        } else {
            if (!first)
                out_->put2(',', '\n');
            write_indent();
        }
        // A std::string's buffer holds capacity() + 1 bytes, so one of
        // capacity 15 or more can be read 16 bytes at a time.
        if (!Ascii && m.key.size() <= inline_capacity && m.key.capacity() >= inline_capacity)
            write_short_string(m.key.data(), m.key.size());
        else
            write_string_as<Ascii>(m.key.data(), m.key.size());
        if (Compact)
            out_->put(':');
        else
            out_->put2(':', ' ');
        write_value<Compact, Ascii>(m.value);
    }

    template <bool Ascii>
    void write_string_as(const char* p, std::size_t n)
    {
        if (Ascii)
            write_string_ascii(p, n);
        else
            write_string(p, n);
    }

    // A string of at most 15 bytes at p, where 16 bytes can be read.
    YAJSON_ALWAYS_INLINE void write_short_string(const char* p, std::size_t n)
    {
#if defined(__SSE2__)
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i special =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
                         _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F)));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special)) & ((1u << n) - 1);
        if (__builtin_expect(mask == 0, 1)) {
            // Quote, all 16 bytes, then the closing quote over the surplus.
            char* d = out_->room(18);
            d[0] = '"';
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 1), x);
            d[n + 1] = '"';
            out_->advance(n + 2);
            return;
        }
#endif
        write_string(p, n);
    }

    void write_string(const char* p, std::size_t n)
    {
        const char* end = p + n;
        if (n <= 256) {
            // Most strings need no escape: quote, copy, quote in one go.
            const char* stop = scan_string(p, end, '"', true);
            if (stop == end) {
                char* d = out_->room(n + 2);
                d[0] = '"';
                if (n <= 16)
                    copy_small(d + 1, p, n);
                else
                    std::memcpy(d + 1, p, n);
                d[n + 1] = '"';
                out_->advance(n + 2);
                return;
            }
        }
        out_->put('"');
        while (p < end) {
            const char* stop = scan_string(p, end, '"', true);
            if (stop != p)
                out_->write(p, static_cast<std::size_t>(stop - p));
            if (stop == end)
                break;
            write_escape(static_cast<unsigned char>(*stop));
            p = stop + 1;
        }
        out_->put('"');
    }

    void write_string_ascii(const char* p, std::size_t n)
    {
        out_->put('"');
        const unsigned char* s = reinterpret_cast<const unsigned char*>(p);
        const unsigned char* end = s + n;
        while (s < end) {
            const char* stop = scan_string(reinterpret_cast<const char*>(s), reinterpret_cast<const char*>(end),
                                           '"', true, true);
            const unsigned char* u = reinterpret_cast<const unsigned char*>(stop);
            if (u != s)
                out_->write(reinterpret_cast<const char*>(s), static_cast<std::size_t>(u - s));
            if (u == end)
                break;
            if (*u < 0x80) {
                write_escape(*u);
                s = u + 1;
                continue;
            }
            s = u + write_utf8_escape(u, end);
        }
        out_->put('"');
    }

private:
    void write_indent()
    {
        static const char spaces[257] = "                                                                "
                                        "                                                                "
                                        "                                                                "
                                        "                                                                ";
        std::size_t n = static_cast<std::size_t>(indent_);
        while (n > 0) {
            const std::size_t chunk = std::min<std::size_t>(n, 256);
            out_->write(spaces, chunk);
            n -= chunk;
        }
    }

    // A quotation mark, a backslash or a control character.
    void write_escape(unsigned char c)
    {
        switch (c) {
        case '"': out_->put2('\\', '"'); return;
        case '\\': out_->put2('\\', '\\'); return;
        case 0x08: out_->put2('\\', 'b'); return;
        case 0x09: out_->put2('\\', 't'); return;
        case 0x0A: out_->put2('\\', 'n'); return;
        case 0x0C: out_->put2('\\', 'f'); return;
        case 0x0D: out_->put2('\\', 'r'); return;
        default: write_u_escape(c); return;
        }
    }

    void write_u_escape(unsigned unit)
    {
        static const char hex[] = "0123456789abcdef";
        const char text[6] = {'\\', 'u', hex[(unit >> 12) & 0xF], hex[(unit >> 8) & 0xF], hex[(unit >> 4) & 0xF],
                              hex[unit & 0xF]};
        out_->write(text, 6);
    }

    // Writes the UTF-8 sequence starting at s (lead byte 0x80 or above) as
    // \u escapes, or \ufffd when it is invalid; returns the bytes consumed.
    std::size_t write_utf8_escape(const unsigned char* s, const unsigned char* end)
    {
        const unsigned char lead = *s;
        std::size_t len;
        std::uint32_t cp;
        std::uint32_t minimum;
        if ((lead & 0xE0) == 0xC0) {
            len = 2;
            cp = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            len = 3;
            cp = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            len = 4;
            cp = lead & 0x07;
            minimum = 0x10000;
        } else {
            write_u_escape(0xFFFD);
            return 1;
        }
        if (static_cast<std::size_t>(end - s) < len) {
            write_u_escape(0xFFFD);
            return 1;
        }
        for (std::size_t i = 1; i < len; ++i) {
            if ((s[i] & 0xC0) != 0x80) {
                write_u_escape(0xFFFD);
                return i;
            }
            cp = (cp << 6) | (s[i] & 0x3F);
        }
        if (cp < minimum || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            write_u_escape(0xFFFD);
            return len;
        }
        if (cp < 0x10000) {
            write_u_escape(cp);
        } else {
            write_u_escape(0xD800 + ((cp - 0x10000) >> 10));
            write_u_escape(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
        return len;
    }

    void write_float(double d)
    {
        if (std::isnan(d)) {
            if (options_->write_nan_infinity)
                out_->write("NaN", 3);
            else
                out_->write("null", 4);
            return;
        }
        if (std::fabs(d) > DBL_MAX) {
            if (!options_->write_nan_infinity)
                out_->write("null", 4);
            else if (d < 0)
                out_->write("-Infinity", 9);
            else
                out_->write("Infinity", 8);
            return;
        }
        // Formatted in place: the longest text is 25 bytes.
        out_->advance(format_double(d, out_->room(40)));
    }

    OutputBuffer* out_;
    const SerializeOptions* options_;
    std::int32_t indent_ = 0;
};

} // namespace detail

// The JSON text of a value tree; members in insertion order unless sorted.
inline std::string serialize(const SerializeOptions& options, const JsonValue& value)
{
    detail::OutputBuffer out;
    std::size_t estimate = 0;
    if (value.is_array())
        estimate = 64 * value.as_array().size() + 2;
    else if (value.is_object())
        estimate = 80 * value.as_object().size() + 2;
    else if (value.is_string())
        estimate = value.as_string().size() + 2;
    if (estimate > detail::OutputBuffer::capacity)
        out.reserve(estimate);

    detail::Writer writer(&out, &options);
    if (options.indent < 0) {
        if (options.escape_non_ascii)
            writer.write_value<true, true>(value);
        else
            writer.write_value<true, false>(value);
    } else {
        if (options.escape_non_ascii)
            writer.write_value<false, true>(value);
        else
            writer.write_value<false, false>(value);
    }
    return out.take();
}

} // namespace yajson

#undef YAJSON_ALWAYS_INLINE
