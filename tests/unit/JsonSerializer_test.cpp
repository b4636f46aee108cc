#include <yajson/yajson.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

using yajson::JsonValue;
using yajson::SerializeOptions;

namespace {

SerializeOptions compact() { return SerializeOptions(); }

SerializeOptions indented(int n)
{
    SerializeOptions o;
    o.indent = n;
    return o;
}

std::string text_of(const JsonValue& v, const SerializeOptions& o = compact()) { return yajson::serialize(o, v); }

std::string float_text(double d)
{
    char buf[40];
    return std::string(buf, yajson::detail::format_double(d, buf));
}

TEST(JsonSerializerFloats, TextsOfTheKnownExamples)
{
    const std::vector<std::pair<double, std::string>> cases = {
        {0.0, "0.0"},
        {-0.0, "0.0"},
        {5.0, "5.0"},
        {-5.0, "-5.0"},
        {1e15, "1000000000000000.0"},
        {9007199254740992.0, "9007199254740992.0"},
        {4.35, "4.350"},
        {0.000123, "0.0001230"},
        {0.5, "0.5"},
        {0.1, "0.1"},
        {2.675, "2.675"},
        {123.456, "123.456"},
        {-0.001, "-0.001"},
        {2e-6, "0.000002"},
        {1e16, "10000000000000000.0"},
        {1e17, "1e+17"},
        {1e-7, "9.9999999999999995e-08"},
        {1e-6, "9.9999999999999995e-07"},
        {1.0 / 3.0, "0.33333333333333331"},
        {1.5e300, "1.5000000000000001e+300"},
        {DBL_MAX, "1.7976931348623157e+308"},
        // A product that rounds to an integer does not make a true short text.
        {507717.25100000005, "507717.25100000005"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(text, float_text(value)) << text;
        EXPECT_EQ(text, text_of(JsonValue(value)));
    }
}

TEST(JsonSerializerFloats, EveryTextReadsBackAsTheSameDouble)
{
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<int> digits(0, 999999);
    std::uniform_int_distribution<int> scale(0, 9);
    int checked = 0;
    for (int i = 0; i < 200000; ++i) {
        double d;
        if (i % 2 == 0) {
            // Random bit patterns: every magnitude.
            const std::uint64_t bits = rng();
            std::memcpy(&d, &bits, sizeof d);
            if (!std::isfinite(d))
                continue;
        } else {
            // Short decimals near the rule that inserts a point, nudged by
            // a few units in the last place.
            d = digits(rng) / std::pow(10.0, scale(rng));
            d = std::nextafter(d, (i % 4 == 1) ? 1e300 : -1e300);
        }
        const std::string t = float_text(d);
        ASSERT_EQ(d, std::strtod(t.c_str(), nullptr)) << t;
        ++checked;
    }
    EXPECT_GT(checked, 150000);
}

// The text the float rules give, worked out with printf: the integer and
// ".0" up to 2^53; between 1e-6 and 1e15 the first k of 1 to 9 for which
// x * 10^k is integral, if those digits with a point read back as x; else
// "%.17g", with ".0" where that has neither point nor exponent.
std::string printf_rules_text(double x)
{
    char buf[64];
    if (x == 0)
        return "0.0";
    const std::string sign = x < 0 ? "-" : "";
    const double a = std::fabs(x);
    if (a <= 9007199254740992.0 && a == std::floor(a)) {
        std::snprintf(buf, sizeof buf, "%.0f.0", a);
        return sign + buf;
    }
    if (a > 1e-6 && a < 1e15) {
        for (int k = 1; k <= 9; ++k) {
            const double p = std::pow(10.0, k);
            const double y = a * p;
            if (y > 9007199254740992.0)
                break;
            if (y == std::floor(y)) {
                if (y / p != a)
                    break;
                std::snprintf(buf, sizeof buf, "%.0f", y);
                std::string digits = buf;
                if (digits.size() <= static_cast<size_t>(k))
                    digits.insert(0, static_cast<size_t>(k) + 1 - digits.size(), '0');
                digits.insert(digits.size() - static_cast<size_t>(k), ".");
                return sign + digits;
            }
        }
    }
    std::snprintf(buf, sizeof buf, "%.17g", a);
    std::string t = buf;
    if (t.find_first_of(".eE") == std::string::npos)
        t += ".0";
    return sign + t;
}

TEST(JsonSerializerFloats, SeventeenDigitTextsAsPrintfWritesThem)
{
    std::mt19937_64 rng(20261210);
    std::uniform_real_distribution<double> moderate(-1000.0, 1000.0);
    std::vector<double> values;
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d))
            values.push_back(d);
        values.push_back(moderate(rng));
        // Every binary exponent around the decimal range of 17 digits.
        values.push_back(std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 130) - 110));
        // Quarters between 1e15 and 2^53: the 18th digit is an exact 5, a
        // tie that printf rounds to the even digit.
        const double whole = std::floor(1e15 + static_cast<double>(rng() % 8000000000000000ULL));
        values.push_back(whole + 0.25);
        values.push_back(whole + 0.75);
        // Odd integers above 2^53 and beyond 1e17.
        values.push_back(std::ldexp(static_cast<double>((rng() >> 11) | 1), static_cast<int>(rng() % 12)));
    }
    for (int e = -30; e <= 30; ++e) {
        const double p = std::pow(10.0, e);
        for (const double d : {p, std::nextafter(p, 0.0), std::nextafter(p, 1e308)})
            values.push_back(d);
    }
    values.insert(values.end(), {DBL_MIN, DBL_TRUE_MIN, 5e-324, 2.2250738585072009e-308, 9007199254740993.0,
                                 99999999999999999.0, 9999999999999999.5, 0.99999999999999994});
    for (const double d : values)
        ASSERT_EQ(printf_rules_text(d), float_text(d)) << std::hexfloat << d;
}

TEST(JsonSerializerFloats, NonFiniteValues)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    SerializeOptions named;
    named.write_nan_infinity = true;
    const std::vector<std::tuple<double, std::string, std::string>> cases = {
        {nan, "null", "NaN"}, {inf, "null", "Infinity"}, {-inf, "null", "-Infinity"}};
    for (const auto& [v, plain, with_names] : cases) {
        EXPECT_EQ(plain, text_of(JsonValue(v)));
        EXPECT_EQ(plain, text_of(JsonValue(v), indented(4)));
        EXPECT_EQ(with_names, text_of(JsonValue(v), named));
    }
}

TEST(JsonSerializerIntegers, ExactDigits)
{
    EXPECT_EQ("-9223372036854775808", text_of(JsonValue(INT64_MIN)));
    EXPECT_EQ("9223372036854775807", text_of(JsonValue(INT64_MAX)));
    EXPECT_EQ("18446744073709551615", text_of(JsonValue(UINT64_MAX)));
    EXPECT_EQ("0", text_of(JsonValue(0)));
    EXPECT_EQ("0", text_of(JsonValue(std::uint64_t{0})));
    for (std::uint64_t p = 1; p <= 1000000000000000000ULL; p *= 10) {
        for (std::uint64_t v : {p - 1, p, p + 1}) {
            EXPECT_EQ(std::to_string(v), text_of(JsonValue(v)));
            if (v != 0) {
                EXPECT_EQ("-" + std::to_string(v), text_of(JsonValue(-static_cast<std::int64_t>(v)))) << v;
            }
        }
    }
}

JsonValue sample_document()
{
    JsonValue doc = JsonValue::make_object();
    JsonValue a = JsonValue::make_array();
    a.as_array().push_back(JsonValue(1));
    a.as_array().push_back(JsonValue(2));
    doc.set("a", std::move(a));
    doc.set("b", JsonValue::make_object());
    return doc;
}

TEST(JsonSerializerLayout, CompactAndIndented)
{
    const JsonValue doc = sample_document();
    EXPECT_EQ("{\"a\":[1,2],\"b\":{}}", text_of(doc));
    EXPECT_EQ("{\n"
              "    \"a\": [\n"
              "        1,\n"
              "        2\n"
              "    ],\n"
              "    \"b\": {}\n"
              "}",
              text_of(doc, indented(4)));
    EXPECT_EQ("{\n\"a\": [\n1,\n2\n],\n\"b\": {}\n}", text_of(doc, indented(0)));

    for (const SerializeOptions& o : {compact(), indented(4), indented(0)}) {
        EXPECT_EQ("{}", text_of(JsonValue::make_object(), o));
        EXPECT_EQ("[]", text_of(JsonValue::make_array(), o));
        EXPECT_EQ("\"x\"", text_of(JsonValue("x"), o));
        EXPECT_EQ("-7", text_of(JsonValue(-7), o));
        EXPECT_EQ("true", text_of(JsonValue(true), o));
        EXPECT_EQ("false", text_of(JsonValue(false), o));
        EXPECT_EQ("null", text_of(JsonValue(), o));
    }
}

TEST(JsonSerializerLayout, DeepIndentBeyondTheSpaceRun)
{
    JsonValue inner = JsonValue::make_array();
    inner.as_array().push_back(JsonValue(1));
    JsonValue outer = JsonValue::make_array();
    outer.as_array().push_back(std::move(inner));
    const std::string s300(300, ' '), s600(600, ' ');
    EXPECT_EQ("[\n" + s300 + "[\n" + s600 + "1\n" + s300 + "]\n]", text_of(outer, indented(300)));
}

TEST(JsonSerializerLayout, ReplacedMemberKeepsItsPlace)
{
    JsonValue doc = JsonValue::make_object();
    doc.set("a", 1);
    doc.set("b", 2);
    doc.set("a", "three");
    EXPECT_EQ("{\"a\":\"three\",\"b\":2}", text_of(doc));
}

TEST(JsonSerializerStrings, EscapingWithoutAsciiOption)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\x01\x1F\t/\x7F\xFF", "\"\\u0001\\u001f\\t/\x7F\xFF\""},
        {"\"\\\b\f\n\r\x0B", "\"\\\"\\\\\\b\\f\\n\\r\\u000b\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},
        {"\xC3\xA9 \xF0\x9F\x98\x80", "\"\xC3\xA9 \xF0\x9F\x98\x80\""},
        {"", "\"\""},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(text, text_of(JsonValue(bytes)));
}

TEST(JsonSerializerStrings, EscapingNonAscii)
{
    SerializeOptions ascii;
    ascii.escape_non_ascii = true;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\xC3\xA9", "\"\\u00e9\""},
        {"\xE2\x82\xAC", "\"\\u20ac\""},
        {"\xF0\x9F\x98\x80", "\"\\ud83d\\ude00\""},
        {"\xFF", "\"\\ufffd\""},
        {"\xE2\x82", "\"\\ufffd\\ufffd\""},
        {"\xE2\x82" "A", "\"\\ufffdA\""},
        {"\xC0\x80", "\"\\ufffd\""},
        {"\xED\xA0\x80", "\"\\ufffd\""},
        {"\xF4\x90\x80\x80", "\"\\ufffd\""},
        {"\x80x", "\"\\ufffdx\""},
        {"x\t\x01\"\xC3\xA9/", "\"x\\t\\u0001\\\"\\u00e9/\""},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(text, text_of(JsonValue(bytes), ascii));
    JsonValue keyed = JsonValue::make_object();
    keyed.set("\xC3\xA9", "\xC3\xA9");
    EXPECT_EQ("{\"\\u00e9\":\"\\u00e9\"}", text_of(keyed, ascii));
    ascii.indent = 2;
    EXPECT_EQ("{\n  \"\\u00e9\": \"\\u00e9\"\n}", text_of(keyed, ascii));
}

TEST(JsonSerializerSort, KeysInByteOrder)
{
    SerializeOptions sorted;
    sorted.sort_keys = true;
    JsonValue doc = JsonValue::make_object();
    for (const char* k : {"b", "ab", "a", ""})
        doc.set(k, 1);
    EXPECT_EQ("{\"\":1,\"a\":1,\"ab\":1,\"b\":1}", text_of(doc, sorted));
    EXPECT_EQ("{\"b\":1,\"ab\":1,\"a\":1,\"\":1}", text_of(doc)); // unchanged object

    // Unsigned byte order, and the heap path above 64 members.
    JsonValue wide = JsonValue::make_object();
    std::map<std::string, int> ref;
    for (int i = 0; i < 100; ++i) {
        const std::string k = (i % 7 == 0 ? "\xC3" : "") + std::to_string((i * 37) % 101);
        wide.set(k, i);
        ref[k] = i;
    }
    std::string expected = "{";
    for (const auto& [k, v] : ref)
        expected += (expected.size() > 1 ? "," : "") + text_of(JsonValue(k)) + ":" + std::to_string(v);
    expected += "}";
    EXPECT_EQ(expected, text_of(wide, sorted));

    sorted.indent = 2;
    JsonValue nested = JsonValue::make_object();
    nested.set("z", JsonValue::make_object());
    nested.set("y", sample_document());
    EXPECT_EQ("{\n  \"y\": {\n    \"a\": [\n      1,\n      2\n    ],\n    \"b\": {}\n  },\n  \"z\": {}\n}",
              text_of(nested, sorted));
}

TEST(JsonSerializerBuffer, LargeOutputCrossesTheStagingBuffer)
{
    JsonValue arr = JsonValue::make_array();
    std::string expected = "[";
    for (int i = 0; i < 3000; ++i) {
        std::string s(static_cast<size_t>(i % 37), static_cast<char>('a' + i % 26));
        if (i % 500 == 0)
            s = std::string(5000 + i, 'L');
        if (i % 3 == 0)
            s += "\n";
        arr.as_array().push_back(JsonValue(s));
        if (i)
            expected += ",";
        expected += "\"" + (i % 3 == 0 ? s.substr(0, s.size() - 1) + "\\n" : s) + "\"";
    }
    expected += "]";
    EXPECT_EQ(expected, text_of(arr));
    EXPECT_EQ(std::string(10000, 'x').size() + 2, text_of(JsonValue(std::string(10000, 'x'))).size());
}

TEST(JsonSerializerRoundTrip, ServerDocumentTextComesBackUnchanged)
{
    const std::string text =
        "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"status\",\"factory\":{\"board\":\"b-1\","
        "\"hw\":\"rev\\\"2\\\"\",\"serial\":\"SN0001\",\"mac\":\"00:11:22:33:44:55\"},\"radios\":[{\"band\":2,"
        "\"channel\":36,\"power\":-3,\"clients\":[]},{\"band\":1,\"channel\":1,\"power\":18446744073709551615,"
        "\"ssid\":\"caf\xC3\xA9 \\u0001\"}],\"ratio\":0.25}";
    yajson::ParseOptions options;
    options.allow_duplicate_keys = true;
    const JsonValue v = yajson::detail::parse_document(text, options);
    EXPECT_EQ(text, text_of(v));
}

} // namespace

namespace {

// The byte scan behind both the parser and the writer, against a plain loop,
// for every length and position of a byte that needs attention.
TEST(JsonStringScan, FindsTheFirstSpecialByteAtEveryPosition)
{
    const std::vector<unsigned char> specials = {'"', '\\', 0x00, 0x01, 0x1F, 0x80, 0xFF, '\''};
    for (size_t len = 0; len <= 40; ++len) {
        for (size_t pos = 0; pos <= len; ++pos) {
            for (unsigned char sp : specials) {
                std::string s(len, 'a');
                for (size_t i = 0; i < len; ++i)
                    s[i] = static_cast<char>(0x20 + (i * 7) % 0x5F); // printable, may hold '"' or '\'
                if (pos < len)
                    s[pos] = static_cast<char>(sp);
                for (int mode = 0; mode < 4; ++mode) {
                    const bool control = mode & 1, high = mode & 2;
                    const char quote = (mode == 3) ? '\'' : '"';
                    size_t expected = len;
                    for (size_t i = 0; i < len; ++i) {
                        const unsigned char c = static_cast<unsigned char>(s[i]);
                        if (c == static_cast<unsigned char>(quote) || c == '\\' || (control && c < 0x20) ||
                            (high && c >= 0x80)) {
                            expected = i;
                            break;
                        }
                    }
                    const char* got = yajson::detail::scan_string(s.data(), s.data() + len, quote, control, high);
                    ASSERT_EQ(expected, static_cast<size_t>(got - s.data()))
                        << "len " << len << " pos " << pos << " byte " << int(sp) << " mode " << mode;
                }
            }
        }
    }
}

} // namespace
