#include <yajson/yajson.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory_resource>
#include <random>
#include <string>
#include <vector>

using yajson::JsonValue;
using yajson::Kind;
using yajson::ParseOptions;

namespace {

ParseOptions server_options()
{
    ParseOptions o;
    o.allow_duplicate_keys = true;
    o.max_depth = 0;
    return o;
}

JsonValue parse_ok(const std::string& text, const ParseOptions& options = ParseOptions())
{
    return yajson::detail::parse_document(text, options);
}

struct ErrorCase {
    std::string text;
    int code;
    size_t line;
    size_t column;
    std::string detail;
    ParseOptions options = ParseOptions();
};

ParseOptions with(bool ParseOptions::*flag)
{
    ParseOptions o;
    o.*flag = true;
    return o;
}

TEST(JsonParserErrors, CodePositionAndText)
{
    const ParseOptions hex = with(&ParseOptions::allow_hex_numbers);
    const ParseOptions comments = with(&ParseOptions::allow_comments);
    ParseOptions shallow;
    shallow.max_depth = 2;

    const std::vector<ErrorCase> cases = {
        // end of input and trailing content
        {"", 1, 1, 1, "unexpected end of input"},
        {"  ", 1, 1, 3, "unexpected end of input"},
        {"[1,", 1, 1, 4, "unexpected end of input"},
        {"[1,2", 7, 1, 5, "unterminated array"},
        {"[", 7, 1, 2, "unterminated array"},
        {"{", 8, 1, 2, "unterminated object"},
        {"{\"a\":1", 8, 1, 7, "unterminated object"},
        {"{\"a\":1,", 8, 1, 8, "expected string key in object"},
        {"{\"a\"", 1, 1, 5, "unexpected end of input"},
        {"1 2", 9, 1, 3, "unexpected trailing content"},
        {"[1]x", 9, 1, 4, "unexpected trailing content"},
        {"1\n  x", 9, 2, 3, "unexpected trailing content"},
        {"1\r\n\tx", 9, 2, 2, "unexpected trailing content"},
        {"01", 9, 1, 2, "unexpected trailing content"},
        {"nullx", 9, 1, 5, "unexpected trailing content"},
        {"0x1F", 9, 1, 2, "unexpected trailing content"},
        // separators and unexpected bytes
        {"[1,]", 2, 1, 4, "unexpected character ']'"},
        {"{\"a\":1,}", 8, 1, 8, "expected string key in object"},
        {"[1 2]", 2, 1, 4, "expected ',' or ']' in array"},
        {"[nullx]", 2, 1, 6, "expected ',' or ']' in array"},
        {"{\"a\":1 \"b\":2}", 2, 1, 8, "expected ',' or '}' in object"},
        {"{\"a\" 1}", 2, 1, 6, "expected ':', got '1'"},
        {"{a:1}", 8, 1, 2, "expected string key in object"},
        {"{1:1}", 8, 1, 2, "expected string key in object"},
        {"[\x01]", 2, 1, 2, "unexpected character '\x01'"},
        {"[1\x01]", 2, 1, 3, "expected ',' or ']' in array"},
        {"NaN", 2, 1, 1, "unexpected character 'N'"},
        {"Infinity", 2, 1, 1, "unexpected character 'I'"},
        {"'a'", 2, 1, 1, "unexpected character '''"},
        {"// c\n1", 2, 1, 1, "unexpected character '/'"},
        {"}", 2, 1, 1, "unexpected character '}'"},
        // literals
        {"nul", 11, 1, 1, "expected 'null'"},
        {"[tru]", 11, 1, 2, "expected 'true'"},
        {"fals", 11, 1, 1, "expected 'false'"},
        {"Nan", 11, 1, 1, "expected 'NaN'", with(&ParseOptions::allow_nan_infinity)},
        {"-Inf", 11, 1, 2, "expected 'Infinity'", with(&ParseOptions::allow_nan_infinity)},
        // numbers
        {"-", 5, 1, 2, "invalid number"},
        {"-a", 5, 1, 2, "invalid number"},
        {"-Infinity", 5, 1, 2, "invalid number"},
        {"1.", 5, 1, 3, "expected digit after decimal point"},
        {"1.e5", 5, 1, 3, "expected digit after decimal point"},
        {"1e", 5, 1, 3, "expected digit in exponent"},
        {"1e+", 5, 1, 4, "expected digit in exponent"},
        {"0x", 5, 1, 3, "incomplete hex number", hex},
        {"0xg", 5, 1, 3, "expected hex digit", hex},
        {"0x10000000000000000", 53, 1, 20, "hex integer overflow", hex},
        {"-0x8000000000000001", 53, 1, 20, "hex integer overflow", hex},
        // strings
        {"\"abc", 6, 1, 5, "unterminated string"},
        {"\"ab\\n", 6, 1, 6, "unterminated string"},
        {"\"a\tb\"", 3, 1, 3, "unescaped control character in string"},
        {"\"\\na\tb\"", 3, 1, 5, "unescaped control character in string"},
        {"\"a\x01", 3, 1, 3, "unescaped control character in string"},
        {"\"\\q\"", 3, 1, 3, "invalid escape '\\q'"},
        {"\"\\'\"", 3, 1, 3, "invalid escape '\\''"},
        {"\"\\", 3, 1, 3, "unterminated escape sequence"},
        {"\"\\u12\"", 4, 1, 4, "incomplete unicode escape"},
        {"[\"\\u12\"]", 4, 1, 7, "invalid hex digit in unicode escape"},
        {"\"\\ud83d\"", 4, 1, 8, "missing low surrogate"},
        {"\"\\ud83d\\u0041\"", 4, 1, 14, "invalid low surrogate value"},
        {"\"\\ude00\"", 4, 1, 8, "unexpected low surrogate"},
        // keys
        {"{\"a\":1,\"b\":2,\"a\":3}", 12, 1, 19, "duplicate key: \"a\""},
        // comments
        {"/* x", 14, 1, 1, "unterminated comment", comments},
        {"1 /* x", 14, 1, 3, "unterminated comment", comments},
        {"/*/ 1", 14, 1, 1, "unterminated comment", comments},
        {"1 / 2", 9, 1, 3, "unexpected trailing content", comments},
        // depth
        {"[[[]]]", 10, 1, 4, "maximum nesting depth exceeded", shallow},
        {"{\"a\":{\"b\":{}}}", 10, 1, 12, "maximum nesting depth exceeded", shallow},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE("text: " + c.text);
        try {
            parse_ok(c.text, c.options);
            ADD_FAILURE() << "parsed";
        } catch (const yajson::ParseError& e) {
            EXPECT_EQ(c.code, e.code().value());
            EXPECT_EQ(&yajson::json_error_category(), &e.code().category());
            EXPECT_EQ(c.line, e.line());
            EXPECT_EQ(c.column, e.column());
            const std::string expected = "JSON parse error at line " + std::to_string(c.line) + ", column " +
                                         std::to_string(c.column) + ": " + c.detail + ": " +
                                         yajson::json_error_category().message(c.code);
            EXPECT_EQ(expected, e.what());
        }
    }
}

TEST(JsonParserErrors, WhatTextOfUnterminatedArray)
{
    try {
        parse_ok("[1,2");
        FAIL();
    } catch (const yajson::ParseError& e) {
        EXPECT_STREQ("JSON parse error at line 1, column 5: unterminated array: unterminated array", e.what());
        EXPECT_EQ(4u, e.offset());
    }
}

TEST(JsonParserDepth, FiveHundredTwelveLevelsAndNoMore)
{
    for (const char* pair : {"[]", "{}"}) {
        auto nested = [&](int levels) {
            std::string s;
            for (int i = 0; i < levels; ++i)
                s += pair[0] == '[' ? "[" : "{\"k\":";
            s += pair[0] == '[' ? "" : "null";
            for (int i = 0; i < levels; ++i)
                s += pair[1];
            return s;
        };
        EXPECT_NO_THROW(parse_ok(nested(512), server_options())) << pair;
        try {
            parse_ok(nested(513), server_options());
            ADD_FAILURE() << pair;
        } catch (const yajson::ParseError& e) {
            EXPECT_EQ(10, e.code().value());
            // just after the 513th opening bracket
            EXPECT_EQ(pair[0] == '[' ? 514u : 512u * 5 + 2, e.column());
        }
    }
}

struct NumberCase {
    std::string text;
    Kind kind;
    long double value; // compared after conversion to the kind's type
};

TEST(JsonParserNumbers, KindsAtTheBoundaries)
{
    const std::vector<NumberCase> cases = {
        {"0", Kind::Integer, 0},
        {"-0", Kind::Integer, 0},
        {"42", Kind::Integer, 42},
        {"-42", Kind::Integer, -42},
        {"9223372036854775807", Kind::Integer, 9223372036854775807.0L},
        {"9223372036854775808", Kind::UInteger, 9223372036854775808.0L},
        {"18446744073709551615", Kind::UInteger, 18446744073709551615.0L},
        {"18446744073709551616", Kind::Float, 1.8446744073709552e19L},
        {"-9223372036854775808", Kind::Integer, -9223372036854775808.0L},
        {"-9223372036854775809", Kind::Float, -9223372036854775808.0L},
        {"-18446744073709551615", Kind::Float, -1.8446744073709552e19L},
        {"1.5", Kind::Float, 1.5},
        {"1e2", Kind::Float, 100},
        {"1E+2", Kind::Float, 100},
        {"25e-1", Kind::Float, 2.5},
        {"1e400", Kind::Float, HUGE_VALL},
        {"-1e400", Kind::Float, -HUGE_VALL},
        {"1e-400", Kind::Float, 0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        const JsonValue v = parse_ok(c.text);
        ASSERT_EQ(c.kind, v.kind());
        if (c.kind == Kind::Integer)
            EXPECT_EQ(static_cast<std::int64_t>(c.value), v.as_integer());
        else if (c.kind == Kind::UInteger)
            EXPECT_EQ(static_cast<std::uint64_t>(c.value), v.as_uinteger());
        else
            EXPECT_EQ(static_cast<double>(c.value), v.as_number());
    }
    const JsonValue negzero = parse_ok("-0.0");
    ASSERT_EQ(Kind::Float, negzero.kind());
    EXPECT_TRUE(std::signbit(negzero.as_number()));
}

TEST(JsonParserNumbers, FloatsAreCorrectlyRounded)
{
    // Mantissas above 2^53 must not go through the multiply-by-power path.
    const std::vector<std::string> texts = {
        "0.1", "0.3", "2.675", "123.456", "1e22", "1e23", "9007199254740993.0", "9007199254740993e-1",
        "507717.25100000005", "0.30000000000000004", "2.2250738585072011e-308", "1.7976931348623157e308",
        "4.9e-324", "7.2057594037927933e16", "123456789.12345678", "0.000123", "3.14159265358979323846264338",
        "1234567890123456789012345678901234567890e-30", "-1.0000000000000002", "89255.0e-22",
        "123456789012345678901234567890123456789012345678901234567890123456789.5",
    };
    for (const std::string& t : texts) {
        const JsonValue v = parse_ok(t);
        ASSERT_EQ(Kind::Float, v.kind()) << t;
        EXPECT_EQ(std::strtod(t.c_str(), nullptr), v.as_number()) << t;
    }
}

// What a number token must read as, from the C library: an integer kind
// while the text has no fraction or exponent and the value fits, otherwise
// strtod's correctly rounded double.
struct Reference {
    Kind kind;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0;
};

Reference reference_value(const std::string& t)
{
    if (t.find_first_of(".eE") == std::string::npos) {
        errno = 0;
        const long long i = std::strtoll(t.c_str(), nullptr, 10);
        if (errno == 0)
            return {Kind::Integer, i};
        if (t[0] != '-') {
            errno = 0;
            const unsigned long long u = std::strtoull(t.c_str(), nullptr, 10);
            if (errno == 0)
                return {Kind::UInteger, 0, u};
        }
    }
    Reference r{Kind::Float};
    r.d = std::strtod(t.c_str(), nullptr);
    return r;
}

std::uint64_t bits(double d)
{
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

void expect_reads_as(const std::string& token, const JsonValue& v)
{
    const Reference r = reference_value(token);
    ASSERT_EQ(r.kind, v.kind()) << token;
    if (r.kind == Kind::Integer)
        EXPECT_EQ(r.i, v.as_integer()) << token;
    else if (r.kind == Kind::UInteger)
        EXPECT_EQ(r.u, v.as_uinteger()) << token;
    else // bit for bit, so that the sign of a zero counts too
        EXPECT_EQ(bits(r.d), bits(v.as_number())) << token << " read as " << v.as_number() << ", strtod gives " << r.d;
}

TEST(JsonParserNumbers, InsideDocumentsAsStrtodReadsThem)
{
    // Short and long, signed and unsigned, around 16 and 19 significant
    // digits and 2^53, where the eight-digit path hands over to the rest.
    const std::vector<std::string> numbers = {
        "-0.5", "2.25", "184467440737095.5161605", "-184467440737095.5161605", "0.1", "-0.1", "-0", "-0.0",
        "0.0", "7", "-7", "10.5e-2", "-1.5E+3", "12345678", "-12345678", "12345678.12345678",
        "-12345678.12345678", "1234567812345678", "12345678123456781", "1234567812345678.5",
        "9007199254740993.5", "9007199254740993", "0.12345678901234567", "-0.12345678901234567",
        "1.2345678901234567", "99999999.99999999", "-99999999.99999999", "0.30000000000000004",
        "1.0000000000000000000001", "100000000000000000000000000000.5", "0.0000000000000000000000000001",
        "1.7976931348623157e308", "5e-324", "-1e-7", "123.456e3", "0.000001", "1e23", "9223372036854775807",
        "-9223372036854775808", "9223372036854775808", "18446744073709551615", "18446744073709551616",
        "-9223372036854775809", "1844674407370955161.5", "18446744073709551.615", "0.5", "-12.25",
        "123456789.123456789", "1234567890123456789.5",
        // Exponents, and 17 to 19 digits with powers of ten up to 10^27 either
        // way, where halfway cases round to even.
        "1e5", "-0e5", "0e5", "0.0e-25", "-2.5e-3", "2.5E+3", "1.2345678901234567e-10", "9.9999999999999999e+10",
        "1234567890123456789e-27", "1234567890123456789e8", "1234567890123456789e27", "7450580596923828125e-27",
        "1e-27", "1e27", "1e28", "1e-28", "9007199254740993.0", "9007199254740995.0", "9007199254740993e-0",
        "4503599627370496.5", "4503599627370497.5", "1.7976931348623157e+308", "2.2250738585072014e-308",
        "1.5e999", "1e0001", "1.0000000000000002e+0", "0.30000000000000004e1",
    };
    struct Context {
        std::string before, after;
        std::function<const JsonValue&(const JsonValue&)> pick;
    };
    const auto first = [](const JsonValue& v) -> const JsonValue& { return v.at(0); };
    const auto second = [](const JsonValue& v) -> const JsonValue& { return v.at(1); };
    const std::vector<Context> contexts = {
        {"[", "]", first},
        {"[", ", 2.25]", first},
        {"[", ",1]", first},
        {"[0,", "]", second},
        {"[0, ", ", 2.25, \"padding past the number\"]", second},
        {"[\"text\",\n\t", "\n,\"more text after it\"]", second},
        {"{\"k\":", ",\"z\":[1,2,3,4,5,6,7,8]}", [](const JsonValue& v) -> const JsonValue& { return *v.as_object().find("k"); }},
        {"[[", "],[-0.5]]", [](const JsonValue& v) -> const JsonValue& { return v.at(0).at(0); }},
        {"", "", [](const JsonValue& v) -> const JsonValue& { return v; }},
        {" ", "                ", [](const JsonValue& v) -> const JsonValue& { return v; }},
    };
    for (const bool arena_mode : {false, true}) {
        yajson::MonotonicArena arena(256);
        yajson::ArenaScope scope(arena_mode ? &arena : nullptr);
        for (const std::string& n : numbers) {
            for (const Context& c : contexts) {
                const std::string text = c.before + n + c.after;
                SCOPED_TRACE(text);
                const JsonValue v = parse_ok(text, server_options());
                expect_reads_as(n, c.pick(v));
            }
        }
    }
    // The two documents whose numbers went wrong unnoticed once (-0.5 read
    // as 0.5; 19 digits overflowing to 5e-07).
    const JsonValue short_negative = parse_ok("[-0.5, 2.25]");
    EXPECT_EQ(-0.5, short_negative.at(0).as_number());
    EXPECT_EQ(2.25, short_negative.at(1).as_number());
    const JsonValue long_decimal = parse_ok("[184467440737095.5161605, 1]");
    EXPECT_EQ(std::strtod("184467440737095.5161605", nullptr), long_decimal.at(0).as_number());
    EXPECT_EQ(1, long_decimal.at(1).as_integer());
    // Each number of a document, not only the first or the last.
    const JsonValue list = parse_ok("[-0.5, 2.25, -0.5,184467440737095.5161605, 1,-0.25]");
    const std::vector<std::string> tokens = {"-0.5", "2.25", "-0.5", "184467440737095.5161605", "1", "-0.25"};
    ASSERT_EQ(tokens.size(), list.as_array().size());
    for (size_t i = 0; i < tokens.size(); ++i)
        expect_reads_as(tokens[i], list.at(i));
}

// A number text of random shape: sign, integer digits, fraction, exponent.
std::string random_number(std::mt19937& rng)
{
    if (rng() % 4 == 0) {
        // A double as printf writes it with 17 significant digits.
        std::uint64_t b = (static_cast<std::uint64_t>(rng()) << 32) | rng();
        if (rng() % 2)
            b = (b & 0x800FFFFFFFFFFFFFULL) | (static_cast<std::uint64_t>(970 + rng() % 140) << 52);
        double d;
        std::memcpy(&d, &b, sizeof d);
        if (!std::isfinite(d))
            d = 0.5;
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        return buf;
    }
    std::string t = rng() % 3 == 0 ? "-" : "";
    const unsigned int_digits = rng() % 4 == 0 ? 0 : 1 + rng() % 22;
    if (int_digits == 0) {
        t += '0';
    } else {
        t += static_cast<char>('1' + rng() % 9);
        for (unsigned i = 1; i < int_digits; ++i)
            t += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 3 != 0) {
        t += '.';
        const unsigned fraction_digits = 1 + rng() % 24;
        for (unsigned i = 0; i < fraction_digits; ++i)
            t += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 5 == 0) {
        t += rng() % 2 ? 'e' : 'E';
        const unsigned sign = rng() % 3;
        t += sign == 0 ? "" : sign == 1 ? "+" : "-";
        t += std::to_string(rng() % 330);
    }
    return t;
}

TEST(JsonParserNumbers, RandomNumbersInDocumentsAsStrtodReadsThem)
{
    std::mt19937 rng(20261210);
    const char* const gaps[] = {"", " ", "\n  ", "\t"};
    for (int round = 0; round < 2000; ++round) {
        // Arrays and objects of numbers, one level of nesting, random gaps.
        std::vector<std::string> tokens;
        std::string text = "[";
        const int n = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) {
            if (i)
                text += std::string(gaps[rng() % 4]) + "," + gaps[rng() % 4];
            if (rng() % 4 == 0) {
                tokens.push_back(random_number(rng));
                text += "{\"n\":" + std::string(gaps[rng() % 4]) + tokens.back() + gaps[rng() % 4] + "}";
            } else {
                tokens.push_back(random_number(rng));
                text += tokens.back();
            }
        }
        text += gaps[rng() % 4] + std::string("]");
        yajson::MonotonicArena arena(256);
        yajson::ArenaScope scope(round % 2 ? &arena : nullptr);
        const JsonValue v = parse_ok(text, server_options());
        ASSERT_EQ(tokens.size(), v.as_array().size()) << text;
        for (size_t i = 0; i < tokens.size(); ++i) {
            const JsonValue& e = v.at(i).is_object() ? *v.at(i).as_object().find("n") : v.at(i);
            SCOPED_TRACE(text);
            expect_reads_as(tokens[i], e);
        }
    }
}

TEST(JsonParserNumbers, LongMantissasWithPowersOfTenAsStrtodReadsThem)
{
    // 17 to 19 digits and powers of ten up to 10^27 either way, where the
    // mantissa is no exact double and the conversion is done in integers;
    // halfway cases come from mantissas ending in 5 and many zeros.
    std::mt19937_64 rng(64);
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t w = rng() >> (rng() % 12);
        if (i % 16 == 0)
            w = (w / 100000) * 100000 + 50000;
        const int q = static_cast<int>(rng() % 55) - 27;
        const std::string token = std::to_string(w) + "e" + std::to_string(q);
        const std::string text = "[" + token + ",0]";
        const JsonValue v = parse_ok(text);
        ASSERT_EQ(bits(std::strtod(token.c_str(), nullptr)), bits(v.at(0).as_number())) << token;
    }
}

TEST(JsonParserNumbers, HexIntegers)
{
    const ParseOptions hex = with(&ParseOptions::allow_hex_numbers);
    EXPECT_EQ(INT64_MIN, parse_ok("-0x8000000000000000", hex).as_integer());
    EXPECT_EQ(Kind::UInteger, parse_ok("0xFFFFFFFFFFFFFFFF", hex).kind());
    EXPECT_EQ(UINT64_MAX, parse_ok("0xFFFFFFFFFFFFFFFF", hex).as_uinteger());
    EXPECT_EQ(Kind::Integer, parse_ok("0x7fffffffffffffff", hex).kind());
    EXPECT_EQ(31, parse_ok("0X1f", hex).as_integer());
    EXPECT_EQ(-16, parse_ok("[-0x10]", hex).at(0).as_integer());
}

TEST(JsonParserStrings, EscapesSurrogatesAndNul)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
        {"\"a\\u0000b\"", std::string("a\0b", 3)},
        {"\"\\u00e9\\u20AC\\u0041\"", "\xC3\xA9\xE2\x82\xAC" "A"},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
        {"\"raw \xFF\xC3\xA9 bytes\"", "raw \xFF\xC3\xA9 bytes"},
        {"\"a string long enough to leave the value, with an escape\\n\"",
         "a string long enough to leave the value, with an escape\n"},
        {"\"\"", ""},
    };
    for (const auto& [text, bytes] : cases) {
        const JsonValue v = parse_ok(text);
        EXPECT_EQ(bytes, v.as_string()) << text;
    }
    // Keys go through the same path.
    const JsonValue o = parse_ok("{\"k\\u0000\\n\":1}");
    EXPECT_EQ(std::string("k\0\n", 3), o.as_object()[0].key);
}

TEST(JsonParserDuplicates, ServerOptionsKeepTheLastOccurrence)
{
    const JsonValue v = parse_ok("{\"a\":1,\"b\":2,\"a\":3}", server_options());
    const auto& o = v.as_object();
    ASSERT_EQ(2u, o.size());
    EXPECT_EQ("b", o[0].key);
    EXPECT_EQ(2, o[0].value.as_integer());
    EXPECT_EQ("a", o[1].key);
    EXPECT_EQ(3, o[1].value.as_integer());

    std::string wide = "{";
    for (int i = 0; i < 20; ++i)
        wide += "\"m" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    wide += "\"m3\":[\"last\"]}";
    const JsonValue w = parse_ok(wide, server_options());
    const auto& wo = w.as_object();
    EXPECT_TRUE(wo.has_index());
    ASSERT_EQ(20u, wo.size());
    EXPECT_EQ("m4", wo[3].key);
    EXPECT_EQ("m3", wo[19].key);
    EXPECT_EQ("last", wo.find("m3")->at(0).as_string());
    EXPECT_EQ(19, wo.find("m19")->as_integer());
}

TEST(JsonParserOptions, EachExtensionParsesWithItsFlag)
{
    ParseOptions nan = with(&ParseOptions::allow_nan_infinity);
    EXPECT_TRUE(std::isnan(parse_ok("NaN", nan).as_number()));
    EXPECT_EQ(HUGE_VAL, parse_ok("Infinity", nan).as_number());
    EXPECT_EQ(-HUGE_VAL, parse_ok("[-Infinity]", nan).at(0).as_number());

    ParseOptions sq = with(&ParseOptions::allow_single_quotes);
    const JsonValue s = parse_ok("{'k\\'':'a\"b\\'c'}", sq);
    EXPECT_EQ("k'", s.as_object()[0].key);
    EXPECT_EQ("a\"b'c", s.as_object()[0].value.as_string());

    const JsonValue u = parse_ok("{a:1, _b$9 : 2, \"c\":3}", with(&ParseOptions::allow_unquoted_keys));
    ASSERT_EQ(3u, u.as_object().size());
    EXPECT_EQ("_b$9", u.as_object()[1].key);

    const JsonValue c = parse_ok("// lead\n/* a */ [1, /**/ 2 // x\n, /***/ 3] /* end */ // tail",
                                 with(&ParseOptions::allow_comments));
    EXPECT_EQ(3u, c.as_array().size());

    ParseOptions tc = with(&ParseOptions::allow_trailing_commas);
    EXPECT_EQ(1u, parse_ok("[1,]", tc).as_array().size());
    EXPECT_EQ(1u, parse_ok("{\"a\":1 , }", tc).as_object().size());

    EXPECT_EQ(31, parse_ok("0x1F", with(&ParseOptions::allow_hex_numbers)).as_integer());
    EXPECT_EQ("a\tb", parse_ok("\"a\tb\"", with(&ParseOptions::allow_control_characters)).as_string());
    EXPECT_EQ("a\x01\\n\t", parse_ok("\"a\x01\\\\n\\t\"", with(&ParseOptions::allow_control_characters)).as_string());
}

TEST(JsonParserApi, ParseNeverThrows)
{
    const yajson::ParseResult bad = yajson::parse("[", ParseOptions());
    EXPECT_TRUE(bad.value.is_null());
    EXPECT_EQ(7, bad.error.value());
    EXPECT_EQ(&yajson::json_error_category(), &bad.error.category());

    const yajson::ParseResult good = yajson::parse("true", ParseOptions());
    EXPECT_TRUE(good.value.as_bool());
    EXPECT_EQ(0, good.error.value());
    EXPECT_FALSE(good.error);
}

TEST(JsonParserArena, DocumentLivesInTheCurrentArena)
{
    const std::string text = "{\"list\":[1,2,3],\"short\":\"abc\",\"long\":\"0123456789abcdefXYZ\","
                             "\"escaped\":\"0123456789\\nabcdefXYZ\"}";
    {
        yajson::MonotonicArena arena(256);
        yajson::ArenaScope scope(&arena);
        const JsonValue v = parse_ok(text, server_options());
        EXPECT_EQ(&arena, yajson::current_arena);
        EXPECT_TRUE(v.in_arena());
        EXPECT_EQ(&arena, v.as_object().resource());
        EXPECT_TRUE(v.as_object().find("list")->in_arena());
        EXPECT_EQ(&arena, v.as_object().find("list")->as_array().get_allocator().resource());
        EXPECT_FALSE(v.as_object().find("short")->in_arena());
        EXPECT_TRUE(v.as_object().find("long")->in_arena());
        EXPECT_TRUE(v.as_object().find("escaped")->in_arena());
        EXPECT_EQ("0123456789\nabcdefXYZ", v.as_object().find("escaped")->as_string());
        EXPECT_THROW(parse_ok("[1, \"unterminated", server_options()), yajson::ParseError);
        EXPECT_EQ(&arena, yajson::current_arena);
    }
    const JsonValue h = parse_ok(text, server_options());
    EXPECT_FALSE(h.in_arena());
    EXPECT_FALSE(h.as_object().find("long")->in_arena());
    EXPECT_EQ(std::pmr::new_delete_resource(), h.as_object().resource());
}

// Counts what is asked of it and, like an arena, gives nothing back before
// it dies.
class NeverFreeing : public std::pmr::memory_resource {
public:
    std::size_t requested = 0;

private:
    std::pmr::monotonic_buffer_resource upstream_;
    void* do_allocate(std::size_t bytes, std::size_t alignment) override
    {
        requested += bytes;
        return upstream_.allocate(bytes, alignment);
    }
    void do_deallocate(void*, std::size_t, std::size_t) override {}
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

TEST(JsonParserArena, LongContainersCostMemoryInProportionToTheirLength)
{
    // 262,144 one-element arrays in one array: in an arena the outer one is
    // collected on the overflow stack, 4,096 chunks of 64 values. A table of
    // chunks that grew by one slot per chunk took 4,096^2 / 2 pointers
    // (64 MiB) of a resource that never frees.
    std::string text = "[";
    const size_t n = 262144;
    text.reserve(4 * n + 2);
    for (size_t i = 0; i < n; ++i)
        text += i ? ",[0]" : "[0]";
    text += "]";
    NeverFreeing overflow;
    yajson::MonotonicArena arena(8192);
    yajson::ArenaScope scope(&arena);
    yajson::detail::Parser parser(text.data(), text.data() + text.size(), server_options(), &arena, &arena,
                                  &overflow);
    JsonValue v;
    parser.parse_value(v);
    ASSERT_EQ(n, v.as_array().size());
    EXPECT_EQ(0, v.at(n - 1).at(0).as_integer());
    // The values themselves (24 bytes each) and a table of chunk pointers
    // that doubles: 4,096 chunks take at most 2 x 4,096 x 8 bytes of table.
    EXPECT_LE(overflow.requested, n * sizeof(JsonValue) + 2 * 4096 * sizeof(void*) + 4096);
}

TEST(JsonParserSizing, TopLevelContainerIsSizedFromTheCommasAhead)
{
    std::string text = "[";
    for (int i = 0; i < 100; ++i)
        text += (i ? ", " : "") + std::to_string(i);
    text += "]";
    ASSERT_GT(text.size(), 256u);
    ASSERT_LT(text.size(), 512u);
    const JsonValue v = parse_ok(text);
    EXPECT_EQ(100u, v.as_array().size());
    EXPECT_EQ(100u, v.as_array().capacity());
    EXPECT_EQ(8u, parse_ok("[1,2]").as_array().capacity());
}

// The element count the parser reserves for a container near the top: the
// commas at level 0 in the next 512 bytes, plus one.
size_t expected_reserve(const std::string& text, size_t first)
{
    const size_t remaining = text.size() - first;
    if (remaining <= 256)
        return 8;
    const size_t stop = first + std::min<size_t>(remaining, 512);
    size_t level = 0, commas = 0;
    for (size_t p = first; p < stop; ++p) {
        const char c = text[p];
        if (c == '"') {
            for (++p; p < stop && text[p] != '"'; ++p)
                if (text[p] == '\\')
                    ++p;
        } else if (c == '[' || c == '{') {
            ++level;
        } else if (c == ']' || c == '}') {
            if (level == 0)
                break;
            --level;
        } else if (c == ',' && level == 0) {
            ++commas;
        }
    }
    return std::max<size_t>(8, commas + 1);
}

TEST(JsonParserSizing, CommaCountIgnoresNestingAndStrings)
{
    std::mt19937 rng(99);
    const std::vector<std::string> pieces = {"1", "\"a,b\"", "\"[\"", "\"}\"", "[1,2,[3]]", "{\"k\":[1,{}],\"j\":2}",
                                             "\"q\\\"x,\"", "\"\\\\\"", "\"long string of text, with, commas\"", "[]",
                                             "null", "{}"};
    for (int round = 0; round < 400; ++round) {
        const bool escapes = round % 2 == 0;
        std::string text = "[";
        const int n = 20 + static_cast<int>(rng() % 200);
        for (int i = 0; i < n; ++i) {
            std::string piece = pieces[rng() % pieces.size()];
            if (!escapes && piece.find('\\') != std::string::npos)
                piece = "7";
            text += (i ? "," : "") + piece;
        }
        text += "]";
        const JsonValue v = parse_ok(text);
        ASSERT_EQ(static_cast<size_t>(n), v.as_array().size());
        // Reserved ahead, then doubled as the elements came.
        size_t capacity = expected_reserve(text, 1);
        while (capacity < static_cast<size_t>(n))
            capacity *= 2;
        EXPECT_EQ(capacity, v.as_array().capacity()) << text;
    }
}

} // namespace
