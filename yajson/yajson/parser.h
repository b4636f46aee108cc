#pragma once
// JSON text -> JsonValue tree. Strict RFC 8259 by default; option flags
// switch on the usual extensions. No UTF-8 validation.

#include <yajson/arena.h>
#include <yajson/errors.h>
#include <yajson/hash.h>
#include <yajson/scan.h>
#include <yajson/value.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>

namespace yajson {

struct ParseOptions {
    bool allow_comments = false;
    bool allow_trailing_commas = false;
    bool allow_single_quotes = false;
    bool allow_unquoted_keys = false;
    bool allow_nan_infinity = false;
    bool allow_hex_numbers = false;
    bool allow_control_characters = false;
    // The last occurrence of a repeated key wins.
    bool allow_duplicate_keys = false;
    // Most nested arrays and objects allowed; 0 means 512.
    std::uint64_t max_depth = 0;
};

struct ParseResult {
    JsonValue value;
    std::error_code error;
};

namespace detail {

constexpr std::uint64_t default_max_depth = 512;

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

inline int hex_value(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 10^n as an exact double, n from 0 to 22.
inline double power10(std::size_t n) noexcept
{
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    return powers[n];
}

// 10^n, n from 0 to 8.
inline std::uint64_t pow10_u64(std::size_t n) noexcept
{
    static constexpr std::uint64_t powers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    return powers[n];
}

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// Eight text bytes, the first in the lowest byte.
inline std::uint64_t load_le64(const char* p) noexcept
{
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

// How many of the eight bytes in x, from the first, are ASCII digits.
inline std::size_t leading_digits(std::uint64_t x) noexcept
{
    constexpr std::uint64_t high = 0xF0F0F0F0F0F0F0F0ULL;
    constexpr std::uint64_t zeros = 0x3030303030303030ULL;
    // A digit has high nibble 3 before and after adding 6. Carries only
    // run from a non-digit byte into later ones, which do not matter.
    const std::uint64_t m = ((x & high) ^ zeros) | (((x + 0x0606060606060606ULL) & high) ^ zeros);
    return m == 0 ? 8 : static_cast<std::size_t>(__builtin_ctzll(m)) >> 3;
}

// The value of the first n (1 to 8) digit bytes of x.
inline std::uint64_t eight_digits(std::uint64_t x, std::size_t n) noexcept
{
    x <<= 8 * (8 - n); // drop the bytes after them; the gap reads as leading zeros
    x = ((x & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;
    x = ((x & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
    return ((x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32;
}
#endif

// 5^n, n from 0 to 27 (the largest below 2^64).
inline std::uint64_t pow5_u64(int n) noexcept
{
    static constexpr std::uint64_t powers[28] = {1ULL,
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
    return powers[n];
}

#if defined(__SIZEOF_INT128__)
// w * 10^q correctly rounded (to nearest, ties to even), for w from 1 up to
// 2^64 - 1 and q from -27 to 27: exact integer arithmetic in 128 bits. A
// value of w * 5^q, or of w shifted left over 5^-q, carries at least 63
// significant bits, and what is below the 53 kept ones decides the rounding.
inline double decimal_to_double(std::uint64_t w, int q) noexcept
{
    using u128 = unsigned __int128;
    std::uint64_t top;     // 63 or more significant bits
    bool sticky = false;   // something non-zero below top
    int exponent;          // the value is (top + fraction) * 2^exponent
    if (q >= 0) {
        const u128 p = static_cast<u128>(w) * pow5_u64(q);
        const std::uint64_t high = static_cast<std::uint64_t>(p >> 64);
        if (high == 0) {
            // Left-align the 64-bit product, so that top has 64 bits.
            const int lz = __builtin_clzll(static_cast<std::uint64_t>(p));
            top = static_cast<std::uint64_t>(p) << lz;
            exponent = q - lz;
        } else {
            const int shift = 64 - __builtin_clzll(high);
            top = static_cast<std::uint64_t>(p >> shift);
            sticky = (static_cast<std::uint64_t>(p) & ((std::uint64_t{1} << shift) - 1)) != 0;
            exponent = q + shift;
        }
    } else {
        const std::uint64_t d = pow5_u64(-q);
        const int s = 63 + (64 - __builtin_clzll(d)) - (64 - __builtin_clzll(w));
        const u128 n = static_cast<u128>(w) << s;
        // The quotient lies in [2^62, 2^64): it fits one 64-bit division.
        std::uint64_t quotient, remainder;
#if defined(__x86_64__)
        __asm__("divq %4"
                : "=a"(quotient), "=d"(remainder)
                : "a"(static_cast<std::uint64_t>(n)), "d"(static_cast<std::uint64_t>(n >> 64)), "r"(d));
#else
        quotient = static_cast<std::uint64_t>(n / d);
        remainder = static_cast<std::uint64_t>(n % d);
#endif
        const int lz = __builtin_clzll(quotient);
        top = quotient << lz; // at most one bit of shift: nothing is lost
        sticky = remainder != 0;
        exponent = q - s - lz;
    }
    // top has its highest bit set: keep 53 bits, round on the other 11.
    std::uint64_t mantissa = top >> 11;
    const std::uint64_t rest = top & 0x7FF;
    if (rest > 0x400 || (rest == 0x400 && (sticky || (mantissa & 1) != 0)))
        ++mantissa;
    exponent += 11;
    if (mantissa == (std::uint64_t{1} << 53)) {
        mantissa >>= 1;
        ++exponent;
    }
    // mantissa * 2^exponent, within the normal range for these w and q.
    const std::uint64_t bits = (static_cast<std::uint64_t>(exponent + 1075) << 52) | (mantissa & ((std::uint64_t{1} << 52) - 1));
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
#endif

// A stack of items in fixed-size chunks: growing never moves the items
// already there. Chunks stay allocated for reuse until the stack dies.
template <class T, std::size_t ChunkItems>
class ChunkedStack {
    static_assert((ChunkItems & (ChunkItems - 1)) == 0, "chunks hold a power of two items");

public:
    explicit ChunkedStack(std::pmr::memory_resource* resource) : chunks_(resource) {}

    ~ChunkedStack()
    {
        pop_to(0);
        std::pmr::memory_resource* resource = chunks_.get_allocator().resource();
        for (T* chunk : chunks_)
            resource->deallocate(chunk, ChunkItems * sizeof(T), alignof(T));
    }

    ChunkedStack(const ChunkedStack&) = delete;
    ChunkedStack& operator=(const ChunkedStack&) = delete;

    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return chunks_[i / ChunkItems][i % ChunkItems]; }

    // The new item stays where it is while the stack grows.
    template <class... Args>
    T& push(Args&&... args)
    {
        if (top_ == chunk_end_)
            next_chunk();
        T* item = new (top_) T(std::forward<Args>(args)...);
        ++top_;
        ++size_;
        return *item;
    }

    // Destroys the items from n on.
    void pop_to(std::size_t n) noexcept
    {
        if (n == size_)
            return;
        while (size_ > n) {
            --size_;
            (*this)[size_].~T();
        }
        discard_to(n);
    }

    // Drops the items from n on without destroying them: they must own
    // nothing any more (moved-from values).
    void discard_to(std::size_t n) noexcept
    {
        size_ = n;
        if (n % ChunkItems == 0) {
            top_ = chunk_end_ = nullptr;
        } else {
            top_ = chunks_[n / ChunkItems] + n % ChunkItems;
            chunk_end_ = chunks_[n / ChunkItems] + ChunkItems;
        }
    }

    // Calls f(first, last) on the items from n on, one run per chunk, in order.
    template <class F>
    void for_each_chunk_from(std::size_t n, F f)
    {
        while (n < size_) {
            T* chunk = chunks_[n / ChunkItems];
            const std::size_t stop = std::min(size_, (n / ChunkItems + 1) * ChunkItems);
            f(chunk + n % ChunkItems, chunk + (stop - 1) % ChunkItems + 1);
            n = stop;
        }
    }

private:
    // The stack is at a chunk boundary: use the chunk there, or a new one.
    void next_chunk()
    {
        const std::size_t k = size_ / ChunkItems;
        if (k == chunks_.size()) {
            // The resource may never free (the parse's own buffer, an arena):
            // the table of chunks doubles, so its copies add up to less than
            // twice its final size, and the push below cannot throw.
            if (k == chunks_.capacity())
                chunks_.reserve(std::max<std::size_t>(8, 2 * k));
            std::pmr::memory_resource* resource = chunks_.get_allocator().resource();
            chunks_.push_back(static_cast<T*>(resource->allocate(ChunkItems * sizeof(T), alignof(T))));
        }
        top_ = chunks_[k];
        chunk_end_ = top_ + ChunkItems;
    }

    std::pmr::vector<T*> chunks_;
    T* top_ = nullptr;
    T* chunk_end_ = nullptr;
    std::size_t size_ = 0;
};

// A member whose storage is not there yet: its key as text that outlives
// the parse, and its value.
struct PendingMember {
    explicit PendingMember(std::string_view k) noexcept : key(k) {}
    std::string_view key;
    JsonValue value;
};

constexpr std::size_t chunk_items(std::size_t item_size) noexcept
{
    std::size_t n = 1;
    while (2 * n * item_size <= 2048)
        n *= 2;
    return n;
}

// Chunks of a power of two items within 2 KB, so both stacks start in the
// parse's own buffer.
template <class T>
using OverflowStack = ChunkedStack<T, chunk_items(sizeof(T))>;

class Parser {
public:
    Parser(const char* begin, const char* end, const ParseOptions& options, std::pmr::memory_resource* scratch,
           MonotonicArena* arena, std::pmr::memory_resource* overflow = std::pmr::new_delete_resource())
        : cur_(begin), end_(end), begin_(begin), options_(options),
          max_depth_(options.max_depth == 0 ? default_max_depth : options.max_depth), scratch_(scratch),
          arena_(arena),
          result_(arena != nullptr ? static_cast<std::pmr::memory_resource*>(arena)
                                   : std::pmr::new_delete_resource()),
          buffer_(scratch), overflow_resource_(overflow), overflow_values_(overflow), overflow_members_(overflow)
    {
    }

    void parse_value(JsonValue& out)
    {
        skip_whitespace();
        if (cur_ == end_)
            fail_end_of_input();
        switch (*cur_) {
        case '"':
            parse_string_value(out, '"');
            return;
        case '\'':
            if (!options_.allow_single_quotes)
                fail_unexpected_character();
            parse_string_value(out, '\'');
            return;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            parse_number(out);
            return;
        case 'I':
            if (!options_.allow_nan_infinity)
                fail_unexpected_character();
            expect_literal("Infinity");
            put_float(out, std::numeric_limits<double>::infinity());
            return;
        case 'N':
            if (!options_.allow_nan_infinity)
                fail_unexpected_character();
            expect_literal("NaN");
            put_float(out, std::numeric_limits<double>::quiet_NaN());
            return;
        case 't':
            expect_literal("true");
            put_bool(out, true);
            return;
        case 'f':
            expect_literal("false");
            put_bool(out, false);
            return;
        case 'n':
            expect_literal("null");
            return;
        case '[':
            parse_array(out);
            return;
        case '{':
            parse_object(out);
            return;
        default:
            fail_unexpected_character();
        }
    }

    // A value inside a container: strings and numbers, the most common,
    // without the general dispatch.
    __attribute__((always_inline)) void parse_element(JsonValue& out)
    {
        skip_whitespace();
        if (cur_ != end_) {
            const char c = *cur_;
            if (c == '"') {
                parse_string_value(out, '"');
                return;
            }
            if (is_digit(c) || c == '-') {
                parse_number(out);
                return;
            }
        }
        parse_value(out);
    }

    void parse_array(JsonValue& out)
    {
        ++cur_;
        enter();
        skip_whitespace();
        if (cur_ == end_)
            fail(errc::unterminated_array, "unterminated array");
        out.init_array_in(arena_);
        if (*cur_ == ']') {
            ++cur_;
            --depth_;
            return;
        }
        JsonArray& elements = *out.p_.arr;
        const Sizing sizing = size_ahead();
        bool more = true;
        // In an arena, storage that growth gives up stays taken until the
        // arena dies: elements beyond the reservation wait on the overflow
        // stack, and a container that will likely outgrow its reservation is
        // collected there whole. On the heap, growth gives its storage back
        // to the allocator, which serves the next container from it.
        const bool collect = arena_ != nullptr;
        if (!collect || !sizing.open_ended) {
            elements.reserve(sizing.reserve);
            for (std::size_t room = collect ? sizing.reserve : SIZE_MAX; more && room != 0; --room) {
                elements.emplace_back();
                parse_element(elements.back());
                more = array_continues();
            }
        }
        const std::size_t overflow_base = overflow_values_.size();
        while (more) {
            parse_element(overflow_values_.push());
            more = array_continues();
        }
        --depth_;
        if (overflow_values_.size() != overflow_base)
            take_overflow(elements, overflow_values_, overflow_base, sizing.reserve);
    }

    // After an element or member: true when another one follows, false when
    // the closing bracket or brace has been consumed.
    template <char Close>
    __attribute__((always_inline)) bool container_continues(errc unterminated,
                                                            const char* unterminated_text,
                                                            const char* unexpected_text)
    {
        skip_whitespace();
        if (cur_ == end_)
            fail(unterminated, unterminated_text);
        const char c = *cur_;
        if (c == ',') {
            ++cur_;
            // The next element or key skips its own leading whitespace.
            if (options_.allow_trailing_commas) {
                skip_whitespace();
                if (cur_ != end_ && *cur_ == Close) {
                    ++cur_;
                    return false;
                }
            }
            return true;
        }
        if (c == Close) {
            ++cur_;
            return false;
        }
        fail(errc::unexpected_character, unexpected_text);
    }

    __attribute__((always_inline)) bool array_continues()
    {
        return container_continues<']'>(errc::unterminated_array, "unterminated array",
                                        "expected ',' or ']' in array");
    }

    void parse_object(JsonValue& out)
    {
        ++cur_;
        enter();
        skip_whitespace();
        if (cur_ == end_)
            fail(errc::unterminated_object, "unterminated object");
        out.init_object_in(arena_);
        if (*cur_ == '}') {
            ++cur_;
            --depth_;
            return;
        }
        JsonObject& object = *out.p_.obj;
        const Sizing sizing = size_ahead();

        using KeySet = std::pmr::unordered_set<std::pmr::string, KeyHasher>;
        alignas(KeySet) unsigned char seen_storage[sizeof(KeySet)];
        KeySet* seen = nullptr;
        struct SeenGuard {
            KeySet*& set;
            ~SeenGuard()
            {
                if (set != nullptr)
                    set->~KeySet();
            }
        } guard{seen};
        if (!options_.allow_duplicate_keys)
            seen = new (seen_storage) KeySet(8, KeyHasher(), std::equal_to<std::pmr::string>(),
                                             KeySet::allocator_type(scratch_));

        JsonObject::Members& members = object.members_;
        bool more = true;
        const bool collect = arena_ != nullptr;
        if (!collect || !sizing.open_ended) {
            members.reserve(sizing.reserve);
            for (std::size_t room = collect ? sizing.reserve : SIZE_MAX; more && room != 0; --room) {
                const std::string_view key = next_key();
                members.emplace_back(key.data(), key.size());
                expect_colon();
                parse_element(members.back().value);
                if (seen != nullptr && !seen->emplace(std::string_view(members.back().key)).second) {
                    const std::string detail = "duplicate key: \"" + members.back().key + "\"";
                    members.pop_back();
                    fail(errc::duplicate_key, detail);
                }
                more = object_continues();
            }
        }
        const std::size_t overflow_base = overflow_members_.size();
        while (more) {
            PendingMember& member = overflow_members_.push(stable_key(next_key()));
            expect_colon();
            parse_element(member.value);
            if (seen != nullptr && !seen->emplace(member.key).second) {
                const std::string detail = "duplicate key: \"" + std::string(member.key) + "\"";
                overflow_members_.pop_to(overflow_members_.size() - 1);
                fail(errc::duplicate_key, detail);
            }
            more = object_continues();
        }
        --depth_;
        if (overflow_members_.size() != overflow_base)
            take_overflow(members, overflow_members_, overflow_base, sizing.reserve);
        object.remove_duplicates();
    }

    // The key of the next member, after '{' or ','.
    __attribute__((always_inline)) std::string_view next_key()
    {
        skip_whitespace();
        if (cur_ == end_)
            fail(errc::unterminated_object, "expected string key in object");
        return parse_key();
    }

    __attribute__((always_inline)) bool object_continues()
    {
        return container_continues<'}'>(errc::unterminated_object, "unterminated object",
                                        "expected ',' or '}' in object");
    }

    // The key's bytes, valid until the next string is read.
    std::string_view parse_key()
    {
        const char c = *cur_;
        if (c == '"' || (c == '\'' && options_.allow_single_quotes))
            return parse_string_raw(c);
        if (options_.allow_unquoted_keys && is_identifier_start(c)) {
            const char* start = cur_;
            ++cur_;
            while (cur_ != end_ && (is_identifier_start(*cur_) || is_digit(*cur_)))
                ++cur_;
            return std::string_view(start, static_cast<std::size_t>(cur_ - start));
        }
        fail(errc::unterminated_object, "expected string key in object");
    }

    // A key that lives until the parse ends: the text itself, or for a key
    // with escapes (assembled in the scratch string) a copy.
    std::string_view stable_key(std::string_view key)
    {
        const auto at = reinterpret_cast<std::uintptr_t>(key.data());
        if (at >= reinterpret_cast<std::uintptr_t>(begin_) && at <= reinterpret_cast<std::uintptr_t>(end_))
            return key;
        char* copy = static_cast<char*>(overflow_resource_->allocate(key.size() + 1, 1));
        std::memcpy(copy, key.data(), key.size());
        return std::string_view(copy, key.size());
    }

    // The elements of a container from base on the overflow stack (all of
    // them, or those beyond its reservation) are moved into storage of the
    // capacity that reserving and then growing by doubling gives, so the
    // arena holds no intermediate copies.
    template <class T>
    static void take_overflow(std::pmr::vector<T>& items, OverflowStack<T>& stack, std::size_t base,
                              std::size_t reserved)
    {
        const std::size_t total = items.size() + (stack.size() - base);
        std::size_t capacity = reserved;
        while (capacity < total)
            capacity *= 2;
        items.reserve(capacity);
        stack.for_each_chunk_from(base, [&items](T* first, T* last) {
            items.insert(items.end(), std::make_move_iterator(first), std::make_move_iterator(last));
        });
        stack.discard_to(base);
    }

    // Members: each key string is made once, in its final place.
    static void take_overflow(JsonObject::Members& items, OverflowStack<PendingMember>& stack, std::size_t base,
                              std::size_t reserved)
    {
        const std::size_t total = items.size() + (stack.size() - base);
        std::size_t capacity = reserved;
        while (capacity < total)
            capacity *= 2;
        items.reserve(capacity);
        stack.for_each_chunk_from(base, [&items](PendingMember* first, PendingMember* last) {
            for (; first != last; ++first)
                items.emplace_back(first->key.data(), first->key.size(), std::move(first->value));
        });
        stack.discard_to(base);
    }

    // The usual numbers (up to 16 integer digits, an optional fraction, 19
    // significant digits at most, an exponent of up to three digits, not at
    // the very end of the text) eight digits at a time; everything else by
    // the byte-wise path, which gives the same results.
    __attribute__((always_inline)) void parse_number(JsonValue& out)
    {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        const char* p = cur_;
        const bool negative = *p == '-';
        p += negative ? 1 : 0;
        if (end_ - p < 8)
            return parse_number_bytewise(out);
        std::uint64_t x = load_le64(p);
        std::size_t n = leading_digits(x);
        if (n == 0 || (options_.allow_hex_numbers && *p == '0'))
            return parse_number_bytewise(out);
        std::uint64_t mantissa;
        int digits;
        if (*p == '0') {
            // A leading zero is the whole integer part and not significant.
            mantissa = 0;
            digits = 0;
            ++p;
        } else {
            mantissa = eight_digits(x, n);
            digits = static_cast<int>(n);
            p += n;
            if (n == 8) {
                if (end_ - p < 8)
                    return parse_number_bytewise(out);
                x = load_le64(p);
                n = leading_digits(x);
                if (n == 8)
                    return parse_number_bytewise(out);
                if (n != 0) {
                    mantissa = mantissa * pow10_u64(n) + eight_digits(x, n);
                    digits += static_cast<int>(n);
                    p += n;
                }
            }
        }
        int fraction_digits = 0;
        if (p != end_ && *p == '.') {
            ++p;
            // Eight digits at a time, up to 19 significant ones in all.
            for (;;) {
                if (end_ - p < 8)
                    return parse_number_bytewise(out);
                x = load_le64(p);
                n = leading_digits(x);
                if (n == 0) {
                    if (fraction_digits == 0)
                        return parse_number_bytewise(out);
                    break;
                }
                if (digits + static_cast<int>(n) > 19)
                    return parse_number_bytewise(out);
                mantissa = mantissa * pow10_u64(n) + eight_digits(x, n);
                digits += static_cast<int>(n);
                fraction_digits += static_cast<int>(n);
                p += n;
                if (n != 8)
                    break;
            }
        }
        int exponent = 0;
        const bool has_exponent = p != end_ && (*p | 0x20) == 'e';
        if (has_exponent) {
            ++p;
            const bool exponent_negative = p != end_ && *p == '-';
            if (p != end_ && (*p == '-' || *p == '+'))
                ++p;
            // One to three digits; anything longer goes the byte-wise way.
            int exponent_digits = 0;
            while (p != end_ && is_digit(*p) && exponent_digits < 4) {
                exponent = exponent * 10 + (*p - '0');
                ++exponent_digits;
                ++p;
            }
            if (exponent_digits == 0 || exponent_digits == 4)
                return parse_number_bytewise(out);
            if (exponent_negative)
                exponent = -exponent;
        }
        if (fraction_digits == 0 && !has_exponent) {
            cur_ = p;
            if (!negative)
                put_integer(out, static_cast<std::int64_t>(mantissa));
            else
                put_integer(out, static_cast<std::int64_t>(~mantissa + 1));
            return;
        }
        const int q = exponent - fraction_digits;
        double d;
        // Both exact doubles: one rounding, in the division or product.
        if (mantissa <= (std::uint64_t{1} << 53) && q >= -22 && q <= 22)
            d = q >= 0 ? static_cast<double>(mantissa) * power10(static_cast<std::size_t>(q))
                       : static_cast<double>(mantissa) / power10(static_cast<std::size_t>(-q));
#if defined(__SIZEOF_INT128__)
        else if (mantissa != 0 && q >= -27 && q <= 27)
            d = decimal_to_double(mantissa, q);
#endif
        else
            return parse_number_bytewise(out);
        cur_ = p;
        put_float(out, negative ? -d : d);
#else
        parse_number_bytewise(out);
#endif
    }

    __attribute__((noinline)) void parse_number_bytewise(JsonValue& out)
    {
        const char* start = cur_;
        bool negative = false;
        if (*cur_ == '-') {
            negative = true;
            ++cur_;
            if (cur_ == end_)
                fail(errc::invalid_number, "invalid number");
            if (*cur_ == 'I' && options_.allow_nan_infinity) {
                expect_literal("Infinity");
                put_float(out, -std::numeric_limits<double>::infinity());
                return;
            }
            if (!is_digit(*cur_))
                fail(errc::invalid_number, "invalid number");
        }
        if (options_.allow_hex_numbers && *cur_ == '0' && end_ - cur_ >= 2 && (cur_[1] == 'x' || cur_[1] == 'X')) {
            cur_ += 2;
            parse_hex_number(out, negative);
            return;
        }

        std::uint64_t mantissa = 0;
        int digits = 0; // significant digits in the mantissa
        bool overflowed = false;
        if (*cur_ == '0') {
            ++cur_;
        } else {
            // Up to 19 digits cannot overflow 64 bits.
            while (cur_ != end_ && is_digit(*cur_) && digits < 19) {
                mantissa = mantissa * 10 + static_cast<unsigned>(*cur_ - '0');
                ++digits;
                ++cur_;
            }
            while (cur_ != end_ && is_digit(*cur_)) {
                const unsigned d = static_cast<unsigned>(*cur_ - '0');
                if (!overflowed && mantissa <= (UINT64_MAX - d) / 10) {
                    mantissa = mantissa * 10 + d;
                    ++digits;
                } else {
                    overflowed = true;
                }
                ++cur_;
            }
        }

        bool is_float = false;
        bool inexact = false;
        int fraction_digits = 0;
        if (cur_ != end_ && *cur_ == '.') {
            is_float = true;
            ++cur_;
            if (cur_ == end_ || !is_digit(*cur_))
                fail(errc::invalid_number, "expected digit after decimal point");
            while (cur_ != end_ && is_digit(*cur_)) {
                if (!overflowed && digits < 19) {
                    mantissa = mantissa * 10 + static_cast<unsigned>(*cur_ - '0');
                    ++digits;
                    ++fraction_digits;
                } else {
                    inexact = true;
                }
                ++cur_;
            }
        }

        int exponent = 0;
        if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
            is_float = true;
            ++cur_;
            bool exponent_negative = false;
            if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) {
                exponent_negative = *cur_ == '-';
                ++cur_;
            }
            if (cur_ == end_ || !is_digit(*cur_))
                fail(errc::invalid_number, "expected digit in exponent");
            while (cur_ != end_ && is_digit(*cur_)) {
                exponent = std::min(400, exponent * 10 + (*cur_ - '0'));
                ++cur_;
            }
            if (exponent_negative)
                exponent = -exponent;
        }

        if (!is_float && !overflowed) {
            if (!negative) {
                if (mantissa <= static_cast<std::uint64_t>(INT64_MAX))
                    put_integer(out, static_cast<std::int64_t>(mantissa));
                else
                    put_uinteger(out, mantissa);
            } else if (mantissa <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
                put_integer(out, static_cast<std::int64_t>(~mantissa + 1));
            } else {
                put_float(out, -static_cast<double>(mantissa));
            }
            return;
        }

        // Exact only while the mantissa and the power of ten are both exact
        // doubles, so that the one multiplication or division rounds once.
        const int e = exponent - fraction_digits;
        if (!overflowed && !inexact && mantissa <= (std::uint64_t{1} << 53) && e >= -22 && e <= 22) {
            double d = static_cast<double>(mantissa);
            d = e >= 0 ? d * power10(static_cast<std::size_t>(e)) : d / power10(static_cast<std::size_t>(-e));
            put_float(out, negative ? -d : d);
            return;
        }
        parse_number_slow(start, out);
    }

    // Correctly rounded conversion of the token [start, cursor).
    void parse_number_slow(const char* start, JsonValue& out)
    {
        double d = 0;
        const auto r = std::from_chars(start, cur_, d);
        if (r.ec == std::errc() && r.ptr == cur_) {
            put_float(out, d);
            return;
        }
        // Out of range: strtod gives the infinity, zero or subnormal.
        const std::size_t n = static_cast<std::size_t>(cur_ - start);
        char small[64];
        std::string large;
        char* text = small;
        if (n >= sizeof small) {
            large.assign(start, n);
            text = &large[0];
        } else {
            std::memcpy(small, start, n);
            small[n] = '\0';
        }
        char* stop = nullptr;
        d = std::strtod(text, &stop);
        if (stop != text + n)
            fail(errc::invalid_number, "invalid number");
        put_float(out, d);
    }

    void parse_hex_number(JsonValue& out, bool negative)
    {
        if (cur_ == end_)
            fail(errc::invalid_number, "incomplete hex number");
        const char* digits_start = cur_;
        std::uint64_t value = 0;
        bool overflowed = false;
        int h;
        while (cur_ != end_ && (h = hex_value(*cur_)) >= 0) {
            if (value > 0x0FFFFFFFFFFFFFFFULL)
                overflowed = true;
            else
                value = (value << 4) | static_cast<unsigned>(h);
            ++cur_;
        }
        if (cur_ == digits_start)
            fail(errc::invalid_number, "expected hex digit");
        if (overflowed)
            fail(errc::integer_overflow, "hex integer overflow");
        if (negative) {
            if (value > static_cast<std::uint64_t>(INT64_MAX) + 1)
                fail(errc::integer_overflow, "hex integer overflow");
            put_integer(out, static_cast<std::int64_t>(~value + 1));
        } else if (value <= static_cast<std::uint64_t>(INT64_MAX)) {
            put_integer(out, static_cast<std::int64_t>(value));
        } else {
            put_uinteger(out, value);
        }
    }

    void parse_string_value(JsonValue& out, char quote)
    {
        const std::string_view s = parse_string_raw(quote);
        out.kind_ = static_cast<std::uint8_t>(Kind::String);
        out.init_string_in(s.data(), s.size(), arena_);
    }

    // The bytes of a string starting at its opening quote: a view into the
    // text when it has no escapes, else into the scratch buffer.
    std::string_view parse_string_raw(char quote)
    {
        ++cur_;
        const char* start = cur_;
        const bool stop_at_control = !options_.allow_control_characters;
        const char* p;
#if defined(__SSE2__)
        // Most keys and values end within the first 16 bytes.
        if (end_ - cur_ >= 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur_));
            __m128i m = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(quote)), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\')));
            if (stop_at_control)
                m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F)));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(m));
            p = mask != 0 ? cur_ + __builtin_ctz(mask) : scan_string(cur_ + 16, end_, quote, stop_at_control);
        } else {
            p = scan_string(cur_, end_, quote, stop_at_control);
        }
#else
        p = scan_string(cur_, end_, quote, stop_at_control);
#endif
        if (__builtin_expect(p != end_ && *p == quote, 1)) {
            cur_ = p + 1;
            return std::string_view(start, static_cast<std::size_t>(p - start));
        }
        return parse_string_escaped(start, p, quote);
    }

    // The string from start has an escape, a control character or no end;
    // p is where the scan stopped.
    __attribute__((noinline)) std::string_view parse_string_escaped(const char* start, const char* p, char quote)
    {
        if (p == end_) {
            cur_ = end_;
            fail(errc::unterminated_string, "unterminated string");
        }
        if (*p != '\\') {
            cur_ = p;
            fail(errc::invalid_escape, "unescaped control character in string");
        }
        buffer_.assign(start, static_cast<std::size_t>(p - start));
        cur_ = p;
        return parse_string_body(quote);
    }

    std::string_view parse_string_body(char quote)
    {
        const bool stop_at_control = !options_.allow_control_characters;
        for (;;) {
            if (cur_ == end_)
                fail(errc::unterminated_string, "unterminated string");
            const char c = *cur_;
            if (c == quote) {
                ++cur_;
                return std::string_view(buffer_.data(), buffer_.size());
            }
            if (c == '\\') {
                ++cur_;
                parse_escape();
                continue;
            }
            const char* p = scan_string(cur_, end_, quote, stop_at_control);
            buffer_.append(cur_, static_cast<std::size_t>(p - cur_));
            cur_ = p;
            if (p != end_ && *p != quote && *p != '\\')
                fail(errc::invalid_escape, "unescaped control character in string");
        }
    }

    void parse_escape()
    {
        if (cur_ == end_)
            fail(errc::invalid_escape, "unterminated escape sequence");
        const char c = *cur_;
        switch (c) {
        case '"': buffer_.push_back('"'); break;
        case '\\': buffer_.push_back('\\'); break;
        case '/': buffer_.push_back('/'); break;
        case 'b': buffer_.push_back('\b'); break;
        case 'f': buffer_.push_back('\f'); break;
        case 'n': buffer_.push_back('\n'); break;
        case 'r': buffer_.push_back('\r'); break;
        case 't': buffer_.push_back('\t'); break;
        case '\'':
            if (!options_.allow_single_quotes)
                fail(errc::invalid_escape, std::string("invalid escape '\\") + c + "'");
            buffer_.push_back('\'');
            break;
        case 'u':
            ++cur_;
            parse_unicode_escape();
            return;
        default:
            fail(errc::invalid_escape, std::string("invalid escape '\\") + c + "'");
        }
        ++cur_;
    }

    void parse_unicode_escape()
    {
        std::uint32_t cp = read_hex4();
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end_ - cur_ < 2 || cur_[0] != '\\' || cur_[1] != 'u')
                fail(errc::invalid_unicode_escape, "missing low surrogate");
            cur_ += 2;
            const std::uint32_t low = read_hex4();
            if (low < 0xDC00 || low > 0xDFFF)
                fail(errc::invalid_unicode_escape, "invalid low surrogate value");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            fail(errc::invalid_unicode_escape, "unexpected low surrogate");
        }
        char utf8[4];
        std::size_t n;
        if (cp < 0x80) {
            utf8[0] = static_cast<char>(cp);
            n = 1;
        } else if (cp < 0x800) {
            utf8[0] = static_cast<char>(0xC0 | (cp >> 6));
            utf8[1] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            utf8[0] = static_cast<char>(0xE0 | (cp >> 12));
            utf8[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            utf8[2] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            utf8[0] = static_cast<char>(0xF0 | (cp >> 18));
            utf8[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            utf8[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            utf8[3] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 4;
        }
        buffer_.append(utf8, n);
    }

    std::uint32_t read_hex4()
    {
        if (end_ - cur_ < 4)
            fail(errc::invalid_unicode_escape, "incomplete unicode escape");
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hex_value(*cur_);
            if (h < 0)
                fail(errc::invalid_unicode_escape, "invalid hex digit in unicode escape");
            v = (v << 4) | static_cast<std::uint32_t>(h);
            ++cur_;
        }
        return v;
    }

    // The ':' after a key, usually right there.
    __attribute__((always_inline)) void expect_colon()
    {
        if (__builtin_expect(cur_ != end_ && *cur_ == ':', 1)) {
            ++cur_;
            return;
        }
        skip_whitespace();
        expect(':');
    }

    void expect(char wanted)
    {
        if (cur_ == end_)
            fail_end_of_input();
        if (*cur_ != wanted)
            fail(errc::unexpected_character, std::string("expected '") + wanted + "', got '" + *cur_ + "'");
        ++cur_;
    }

    template <std::size_t N>
    void expect_literal(const char (&literal)[N])
    {
        constexpr std::size_t n = N - 1;
        if (static_cast<std::size_t>(end_ - cur_) < n || std::memcmp(cur_, literal, n) != 0)
            fail(errc::invalid_literal, std::string("expected '") + literal + "'");
        cur_ += n;
    }

    __attribute__((always_inline)) void skip_whitespace()
    {
        // Compact text: the next token is already here.
        if (__builtin_expect(cur_ != end_ && static_cast<unsigned char>(*cur_) > ' ', 1) &&
            (*cur_ != '/' || !options_.allow_comments))
            return;
        skip_whitespace_and_comments();
    }

    __attribute__((noinline)) void skip_whitespace_and_comments()
    {
        for (;;) {
            while (cur_ != end_ && is_whitespace(*cur_))
                ++cur_;
            if (!options_.allow_comments || end_ - cur_ < 2 || cur_[0] != '/' ||
                (cur_[1] != '/' && cur_[1] != '*'))
                return;
            skip_comments();
        }
    }

    // The cursor is on a "//" or "/*".
    void skip_comments()
    {
        if (cur_[1] == '/') {
            const void* nl = std::memchr(cur_ + 2, '\n', static_cast<std::size_t>(end_ - cur_ - 2));
            cur_ = nl != nullptr ? static_cast<const char*>(nl) + 1 : end_;
            return;
        }
        for (const char* p = cur_ + 2; end_ - p >= 2; ++p) {
            if (p[0] == '*' && p[1] == '/') {
                cur_ = p + 2;
                return;
            }
        }
        fail(errc::invalid_comment, "unterminated comment");
    }

    [[noreturn]] __attribute__((noinline, cold)) void fail(errc code, const std::string& detail) const
    {
        std::size_t line = 1, column = 1;
        for (const char* p = begin_; p != cur_; ++p) {
            if (*p == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw ParseError(detail, code, line, column, static_cast<std::size_t>(cur_ - begin_));
    }

    [[noreturn]] __attribute__((noinline, cold)) void fail_end_of_input() const
    {
        fail(errc::unexpected_end_of_input, "unexpected end of input");
    }

    [[noreturn]] __attribute__((noinline, cold)) void fail_unexpected_character() const
    {
        fail(errc::unexpected_character, std::string("unexpected character '") + *cur_ + "'");
    }

    // Scalars are written straight into a value that is still null.
    static void put_bool(JsonValue& out, bool b) noexcept
    {
        out.kind_ = static_cast<std::uint8_t>(Kind::Bool);
        out.p_.u = b ? 1 : 0;
    }
    static void put_integer(JsonValue& out, std::int64_t v) noexcept
    {
        out.kind_ = static_cast<std::uint8_t>(Kind::Integer);
        out.p_.i = v;
    }
    static void put_uinteger(JsonValue& out, std::uint64_t v) noexcept
    {
        out.kind_ = static_cast<std::uint8_t>(Kind::UInteger);
        out.p_.u = v;
    }
    static void put_float(JsonValue& out, double v) noexcept
    {
        out.kind_ = static_cast<std::uint8_t>(Kind::Float);
        out.p_.d = v;
    }

    static bool is_whitespace(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

    static bool is_identifier_start(char c) noexcept
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
    }

    void enter()
    {
        if (++depth_ > max_depth_)
            fail(errc::max_depth_exceeded, "maximum nesting depth exceeded");
    }

#if defined(__SSE2__)
    static constexpr std::size_t npos_commas = static_cast<std::size_t>(-1);

    static std::uint64_t prefix_xor(std::uint64_t x) noexcept
    {
        x ^= x << 1;
        x ^= x << 2;
        x ^= x << 4;
        x ^= x << 8;
        x ^= x << 16;
        x ^= x << 32;
        return x;
    }

    struct BlockMasks {
        std::uint64_t quote = 0, comma = 0, backslash = 0, open = 0, close = 0;
    };

    // Which of the 64 bytes at p are quotes, commas, backslashes, opening
    // and closing brackets.
    static BlockMasks classify(const char* p) noexcept
    {
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i comma = _mm_set1_epi8(',');
        const __m128i backslash = _mm_set1_epi8('\\');
        // '[' and '{' (and ']' and '}') differ only in bit 0x20.
        const __m128i fold = _mm_set1_epi8(static_cast<char>(~0x20));
        const __m128i open = _mm_set1_epi8('[');
        const __m128i close = _mm_set1_epi8(']');
        BlockMasks m;
        for (int i = 0; i < 4; ++i) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            const __m128i f = _mm_and_si128(x, fold);
            const int shift = 16 * i;
            auto bits = [shift](__m128i eq) {
                return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << shift;
            };
            m.quote |= bits(_mm_cmpeq_epi8(x, quote));
            m.comma |= bits(_mm_cmpeq_epi8(x, comma));
            m.backslash |= bits(_mm_cmpeq_epi8(x, backslash));
            m.open |= bits(_mm_cmpeq_epi8(f, open));
            m.close |= bits(_mm_cmpeq_epi8(f, close));
        }
        return m;
    }

    // The commas at nesting level 0 in the window, 64 bytes at a time with
    // bit masks; npos_commas when the window holds a backslash, which the
    // byte-wise scan handles.
    static std::size_t top_level_commas(const char* text, std::size_t window, bool& closed) noexcept
    {
        std::uint64_t in_string = 0;
        std::size_t level = 0, commas = 0;
        char tail[64];
        for (std::size_t off = 0; off < window; off += 64) {
            const char* block = text + off;
            if (window - off < 64) {
                const std::size_t n = window - off;
                std::memcpy(tail, block, n);
                std::memset(tail + n, ' ', 64 - n);
                block = tail;
            }
            const BlockMasks m = classify(block);
            if (m.backslash != 0)
                return npos_commas;
            const std::uint64_t inside = prefix_xor(m.quote) ^ in_string;
            in_string = static_cast<std::uint64_t>(static_cast<std::int64_t>(inside) >> 63);
            std::uint64_t c = m.comma & ~inside;
            const std::uint64_t o = m.open & ~inside;
            std::uint64_t events = o | (m.close & ~inside);
            while (events != 0) {
                const std::uint64_t bit = events & (~events + 1);
                const std::uint64_t before = bit - 1;
                if (level == 0)
                    commas += static_cast<std::size_t>(__builtin_popcountll(c & before));
                c &= ~before;
                if ((o & bit) != 0) {
                    ++level;
                } else {
                    if (level == 0) {
                        closed = true;
                        return commas;
                    }
                    --level;
                }
                events ^= bit;
            }
            if (level == 0)
                commas += static_cast<std::size_t>(__builtin_popcountll(c));
        }
        return commas;
    }
#endif

    // First of '"', ',', '[', ']', '{', '}' in [p, stop); stop when none.
    static const char* next_structural(const char* p, const char* stop) noexcept
    {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i comma = _mm_set1_epi8(',');
        // '[' and '{' (and ']' and '}') differ only in bit 0x20.
        const __m128i fold = _mm_set1_epi8(static_cast<char>(~0x20));
        const __m128i open = _mm_set1_epi8('[');
        const __m128i close = _mm_set1_epi8(']');
        while (stop - p >= 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i f = _mm_and_si128(x, fold);
            const __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, comma)),
                                           _mm_or_si128(_mm_cmpeq_epi8(f, open), _mm_cmpeq_epi8(f, close)));
            const int mask = _mm_movemask_epi8(m);
            if (mask != 0)
                return p + __builtin_ctz(static_cast<unsigned>(mask));
            p += 16;
        }
#endif
        for (; p < stop; ++p) {
            const char c = *p;
            if (c == '"' || c == ',' || c == '[' || c == ']' || c == '{' || c == '}')
                return p;
        }
        return stop;
    }

    struct Sizing {
        std::size_t reserve;
        // The look-ahead did not reach the end of the container, which is
        // then likely to outgrow the reservation.
        bool open_ended;
    };

    // Room to reserve for a container whose first element is at the cursor:
    // near the top of a large document, guessed from the commas ahead.
    Sizing size_ahead() const noexcept
    {
        constexpr std::size_t base = 8;
        const std::size_t remaining = static_cast<std::size_t>(end_ - cur_);
        if (depth_ > 2 || remaining <= 256)
            return {base, false};
        const std::size_t window = std::min<std::size_t>(remaining, 512);
#if defined(__SSE2__)
        bool closed = false;
        const std::size_t fast = top_level_commas(cur_, window, closed);
        if (fast != npos_commas)
            return {std::max(base, fast + 1), !closed};
#endif
        const char* p = cur_;
        const char* stop = cur_ + window;
        std::size_t level = 0, commas = 0;
        bool open_ended = true;
        while ((p = next_structural(p, stop)) < stop) {
            const char c = *p;
            if (c == '"') {
                // Skip to the closing quote, stepping over escaped bytes.
                const char* q = p + 1;
                for (;;) {
                    q = scan_string(q, stop, '"', false);
                    if (q >= stop || *q == '"')
                        break;
                    q += 2;
                }
                if (q >= stop)
                    break;
                p = q;
            } else if (c == '[' || c == '{') {
                ++level;
            } else if (c == ']' || c == '}') {
                if (level == 0) {
                    open_ended = false;
                    break;
                }
                --level;
            } else if (level == 0) {
                ++commas;
            }
            ++p;
        }
        return {std::max(base, commas + 1), open_ended};
    }

    const char* cur_;
    const char* end_;
    const char* begin_;
    ParseOptions options_;
    std::size_t depth_ = 0;
    std::uint64_t max_depth_;
    std::pmr::memory_resource* scratch_;
    MonotonicArena* arena_;
    std::pmr::memory_resource* result_;
    // Strings with escapes are assembled here.
    std::pmr::string buffer_;
    // Elements and members of containers beyond their reservation, until
    // the container ends.
    std::pmr::memory_resource* overflow_resource_;
    OverflowStack<JsonValue> overflow_values_;
    OverflowStack<PendingMember> overflow_members_;
};

// Parses a whole text; throws ParseError on a syntax error.
inline JsonValue parse_document(std::string_view text, const ParseOptions& options)
{
    MonotonicArena* arena = current_arena;
    alignas(std::max_align_t) unsigned char stack_buffer[4096];
    std::pmr::monotonic_buffer_resource stack_scratch(stack_buffer, sizeof stack_buffer,
                                                      std::pmr::new_delete_resource());
    std::pmr::memory_resource* scratch =
        arena != nullptr ? static_cast<std::pmr::memory_resource*>(arena) : &stack_scratch;
    // Room for the overflow stacks of a few large containers without a
    // heap allocation; they are given back when the parse ends.
    alignas(std::max_align_t) unsigned char overflow_buffer[4096];
    std::pmr::monotonic_buffer_resource overflow(overflow_buffer, sizeof overflow_buffer,
                                                 std::pmr::new_delete_resource());
    Parser parser(text.data(), text.data() + text.size(), options, scratch, arena, &overflow);
    JsonValue value;
    parser.parse_value(value);
    parser.skip_whitespace();
    if (parser.cur_ != parser.end_)
        parser.fail(errc::trailing_content, "unexpected trailing content");
    return value;
}

} // namespace detail

// Never throws: a failure gives a null value and its error code.
inline ParseResult parse(std::string_view text, const ParseOptions& options) noexcept
{
    ParseResult result;
    try {
        result.value = detail::parse_document(text, options);
    } catch (const ParseError& e) {
        result.value = JsonValue();
        result.error = e.code();
    } catch (...) {
        result.value = JsonValue();
        result.error = make_error_code(errc::unexpected_character);
    }
    return result;
}

} // namespace yajson
