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

class Parser {
public:
    Parser(const char* begin, const char* end, const ParseOptions& options, std::pmr::memory_resource* scratch,
           MonotonicArena* arena)
        : cur_(begin), end_(end), begin_(begin), options_(options),
          max_depth_(options.max_depth == 0 ? default_max_depth : options.max_depth), scratch_(scratch),
          arena_(arena),
          result_(arena != nullptr ? static_cast<std::pmr::memory_resource*>(arena)
                                   : std::pmr::new_delete_resource()),
          buffer_(scratch)
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
        elements.reserve(size_ahead());
        for (;;) {
            elements.emplace_back();
            parse_value(elements.back());
            skip_whitespace();
            if (cur_ == end_)
                fail(errc::unterminated_array, "unterminated array");
            const char c = *cur_;
            if (c == ',') {
                ++cur_;
                skip_whitespace();
                if (options_.allow_trailing_commas && cur_ != end_ && *cur_ == ']') {
                    ++cur_;
                    break;
                }
                continue;
            }
            if (c == ']') {
                ++cur_;
                break;
            }
            fail(errc::unexpected_character, "expected ',' or ']' in array");
        }
        --depth_;
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
        object.members_.reserve(size_ahead());

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

        for (;;) {
            skip_whitespace();
            if (cur_ == end_)
                fail(errc::unterminated_object, "expected string key in object");
            const std::string_view key = parse_key();
            object.members_.emplace_back(key.data(), key.size());
            skip_whitespace();
            expect(':');
            parse_value(object.members_.back().value);
            if (seen != nullptr) {
                const std::string& k = object.members_.back().key;
                if (!seen->emplace(std::string_view(k)).second) {
                    const std::string detail = "duplicate key: \"" + k + "\"";
                    object.members_.pop_back();
                    fail(errc::duplicate_key, detail);
                }
            }
            skip_whitespace();
            if (cur_ == end_)
                fail(errc::unterminated_object, "unterminated object");
            const char c = *cur_;
            if (c == ',') {
                ++cur_;
                skip_whitespace();
                if (options_.allow_trailing_commas && cur_ != end_ && *cur_ == '}') {
                    ++cur_;
                    break;
                }
                continue;
            }
            if (c == '}') {
                ++cur_;
                break;
            }
            fail(errc::unexpected_character, "expected ',' or '}' in object");
        }
        --depth_;
        object.remove_duplicates();
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

    void parse_number(JsonValue& out)
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
            static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
            double d = static_cast<double>(mantissa);
            d = e >= 0 ? d * powers[e] : d / powers[-e];
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
        const char* p = scan_string(cur_, end_, quote, !options_.allow_control_characters);
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

    void skip_whitespace()
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

    [[noreturn]] void fail(errc code, const std::string& detail) const
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

    [[noreturn]] void fail_end_of_input() const
    {
        fail(errc::unexpected_end_of_input, "unexpected end of input");
    }

    [[noreturn]] void fail_unexpected_character() const
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
    static std::size_t top_level_commas(const char* text, std::size_t window) noexcept
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
                    if (level == 0)
                        return commas;
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

    // Room to reserve for a container whose first element is at the cursor:
    // near the top of a large document, guessed from the commas ahead.
    std::size_t size_ahead() const noexcept
    {
        constexpr std::size_t base = 8;
        const std::size_t remaining = static_cast<std::size_t>(end_ - cur_);
        if (depth_ > 2 || remaining <= 256)
            return base;
        const std::size_t window = std::min<std::size_t>(remaining, 512);
#if defined(__SSE2__)
        const std::size_t fast = top_level_commas(cur_, window);
        if (fast != npos_commas)
            return std::max(base, fast + 1);
#endif
        const char* p = cur_;
        const char* stop = cur_ + window;
        std::size_t level = 0, commas = 0;
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
                if (level == 0)
                    break;
                --level;
            } else if (level == 0) {
                ++commas;
            }
            ++p;
        }
        return std::max(base, commas + 1);
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
    Parser parser(text.data(), text.data() + text.size(), options, scratch, arena);
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
