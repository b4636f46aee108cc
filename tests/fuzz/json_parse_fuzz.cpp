// Parses arbitrary text, serializes it, parses the text again and checks
// that serializing gives the same text again; every decimal number of a text
// that parses must read as the C library reads it. The first two bytes
// choose the options; the rest is the JSON text.

#include <yajson/yajson.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void mismatch(const char* what, const std::string& a, const std::string& b)
{
    std::fprintf(stderr, "%s\n--- first\n%s\n--- second\n%s\n", what, a.c_str(), b.c_str());
    std::abort();
}

// The number tokens of a text that parsed with these options, in text order:
// strings, comments and words (literals, unquoted keys) are skipped.
std::vector<std::string> number_tokens(std::string_view text, const yajson::ParseOptions& po)
{
    std::vector<std::string> tokens;
    std::size_t i = 0;
    const auto is_word = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '$' || c == '.' || c == '+' || c == '-';
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"' || (c == '\'' && po.allow_single_quotes)) {
            for (++i; i < text.size() && text[i] != c; ++i)
                if (text[i] == '\\')
                    ++i;
            ++i;
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            while (i < text.size() && text[i] != '\n')
                ++i;
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const std::size_t close = text.find("*/", i + 2);
            i = close == std::string_view::npos ? text.size() : close + 2;
        } else if (is_word(c)) {
            const std::size_t start = i;
            while (i < text.size() && is_word(text[i]))
                ++i;
            if (c == '-' || (c >= '0' && c <= '9'))
                tokens.emplace_back(text.substr(start, i - start));
        } else {
            ++i;
        }
    }
    return tokens;
}

std::uint64_t bits(double d)
{
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Walks the tree in text order and compares each number with its token.
void check_numbers(const yajson::JsonValue& v, const std::vector<std::string>& tokens, std::size_t& next)
{
    if (v.is_array()) {
        for (const yajson::JsonValue& e : v.as_array())
            check_numbers(e, tokens, next);
        return;
    }
    if (v.is_object()) {
        for (const auto& m : v.as_object())
            check_numbers(m.value, tokens, next);
        return;
    }
    if (!v.is_number())
        return;
    if (v.is_float() && (std::isnan(v.as_number()) || std::isinf(v.as_number()))) {
        // NaN and Infinity are words; "-Infinity" and out-of-range numbers
        // are tokens.
        if (next < tokens.size() && (tokens[next] == "-Infinity" ||
                                     bits(std::strtod(tokens[next].c_str(), nullptr)) == bits(v.as_number())))
            ++next;
        return;
    }
    if (next >= tokens.size())
        mismatch("a number without its token", std::to_string(v.as_number()), "");
    const std::string& t = tokens[next++];
    const std::string_view digits = std::string_view(t).substr(t[0] == '-' ? 1 : 0);
    if (digits.size() > 1 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        return; // hexadecimal: no decimal reference
    if (t.find_first_of(".eE") == std::string::npos) {
        errno = 0;
        const long long i = std::strtoll(t.c_str(), nullptr, 10);
        if (errno == 0) {
            if (!v.is_integer() || v.as_integer() != i)
                mismatch("integer differs from strtoll", t, std::to_string(v.as_number()));
            return;
        }
        errno = 0;
        const unsigned long long u = std::strtoull(t.c_str(), nullptr, 10);
        if (errno == 0 && t[0] != '-') {
            if (!v.is_uinteger() || v.as_uinteger() != u)
                mismatch("integer differs from strtoull", t, std::to_string(v.as_number()));
            return;
        }
    }
    const double d = std::strtod(t.c_str(), nullptr);
    if (!v.is_float() || bits(v.as_number()) != bits(d)) {
        char got[40], want[40];
        std::snprintf(got, sizeof got, "%.17g", v.as_number());
        std::snprintf(want, sizeof want, "%.17g", d);
        mismatch(("number differs from strtod: " + t).c_str(), got, want);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t parse_bits = 0x80; // the server's options: duplicate keys allowed
    std::uint8_t write_bits = 0;
    if (size >= 2) {
        parse_bits = data[0];
        write_bits = data[1];
        data += 2;
        size -= 2;
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    yajson::ParseOptions po;
    po.allow_comments = parse_bits & 0x01;
    po.allow_trailing_commas = parse_bits & 0x02;
    po.allow_single_quotes = parse_bits & 0x04;
    po.allow_unquoted_keys = parse_bits & 0x08;
    po.allow_nan_infinity = parse_bits & 0x10;
    po.allow_hex_numbers = parse_bits & 0x20;
    po.allow_control_characters = parse_bits & 0x40;
    po.allow_duplicate_keys = parse_bits & 0x80;

    yajson::SerializeOptions so;
    const int indents[4] = {-1, 0, 2, 4};
    so.indent = indents[write_bits & 0x03];
    so.escape_non_ascii = write_bits & 0x04;
    so.write_nan_infinity = write_bits & 0x08;
    so.sort_keys = write_bits & 0x10;
    const bool use_arena = write_bits & 0x20;

    yajson::MonotonicArena arena(256);
    yajson::JsonValue first;
    try {
        yajson::ArenaScope scope(use_arena ? &arena : yajson::current_arena);
        first = yajson::detail::parse_document(text, po);
    } catch (const yajson::ParseError& e) {
        // The never-throwing entry point agrees on the code.
        const yajson::ParseResult r = yajson::parse(text, po);
        if (r.error != e.code() || !r.value.is_null())
            std::abort();
        if (e.line() < 1 || e.column() < 1 || e.offset() > size)
            std::abort();
        return 0;
    }

    // Every number as the C library reads its text. Repeated keys would
    // take members out of text order: this walk needs a parse without them.
    {
        yajson::ParseOptions unique = po;
        unique.allow_duplicate_keys = false;
        yajson::MonotonicArena numbers_arena(256);
        yajson::ArenaScope scope(use_arena ? &numbers_arena : yajson::current_arena);
        const yajson::ParseResult r = yajson::parse(text, unique);
        if (!r.error) {
            const std::vector<std::string> tokens = number_tokens(text, po);
            std::size_t next = 0;
            check_numbers(r.value, tokens, next);
            if (next != tokens.size())
                mismatch("number tokens left over", std::string(text), tokens[next]);
        }
    }

    const std::string t1 = yajson::serialize(so, first);
    const yajson::JsonValue copy(first); // deep copy, heap-based
    first = yajson::JsonValue();
    if (yajson::serialize(so, copy) != t1)
        mismatch("copy serializes differently", t1, yajson::serialize(so, copy));

    // What the serializer writes must parse with the plain options, plus
    // named non-finite numbers when it wrote them, and duplicate keys: a
    // key with invalid UTF-8 written as \ufffd can meet its twin.
    yajson::ParseOptions again;
    again.allow_duplicate_keys = true;
    again.allow_nan_infinity = so.write_nan_infinity;
    const yajson::ParseResult r2 = yajson::parse(t1, again);
    if (r2.error)
        mismatch(("serialized text does not parse: " + r2.error.message()).c_str(), t1, "");
    const std::string t2 = yajson::serialize(so, r2.value);
    if (!so.escape_non_ascii) {
        if (t1 != t2)
            mismatch("texts differ", t1, t2);
        return 0;
    }
    // With \u escapes invalid UTF-8 collapses to U+FFFD once; from then on
    // the text is stable.
    const yajson::ParseResult r3 = yajson::parse(t2, again);
    if (r3.error)
        mismatch("second text does not parse", t2, "");
    const std::string t3 = yajson::serialize(so, r3.value);
    if (t2 != t3)
        mismatch("texts differ", t2, t3);
    return 0;
}
