// The appending writer: its texts written out by hand, and the same calls
// made on a document writer, whose text it must equal byte for byte.

#include "JsonAppender.h"
#include "JsonWriter.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <utility>

namespace {

using rrm::JsonAppender;
using rrm::JsonWriter;

std::string appended(const char* service, const char* cmd, const char* version,
                     const std::function<void(JsonAppender&)>& build = nullptr)
{
    std::string out = "prefix:";
    {
        JsonAppender root(out, service, cmd, version);
        if (build)
            build(root);
    }
    EXPECT_EQ(out.compare(0, 7, "prefix:"), 0) << "appends after what the text holds";
    return out.substr(7);
}

TEST(JsonAppender, HeaderAsTheDocumentWriterWritesIt)
{
    struct {
        const char* service;
        const char* cmd;
        const char* version;
        const char* expected;
    } cases[] = {
        {"rrm", "scan-request", "", R"({"service":"rrm","version":"2.4","cmd":"scan-request"})"},
        {"rrm", "c", nullptr, R"({"service":"rrm","version":"2.4","cmd":"c"})"},
        {"rrm", "c", "2.1", R"({"version":"2.1","service":"rrm","cmd":"c"})"},
        {"other", "c", "", R"({"service":"other","cmd":"c"})"},
        {"RRM", "c", "", R"({"service":"RRM","cmd":"c"})"},
        {"", "c", "", R"({"cmd":"c"})"},
        {nullptr, "c", "2.1", R"({"version":"2.1","cmd":"c"})"},
        {"rrm", nullptr, "", R"({"service":"rrm","version":"2.4"})"},
        {nullptr, nullptr, nullptr, "{}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(appended(c.service, c.cmd, c.version), c.expected);
        EXPECT_EQ(JsonWriter(c.service, c.cmd, c.version).to_string(), std::string(c.expected));
    }
}

// One shape built through either writer: both have add_object, add_array,
// add_int and add_string with the same meaning.
template <class Writer>
void build_shape(Writer& root)
{
    root.add_int("zero", 0);
    root.add_int("min", INT_MIN);
    root.add_int("max", INT_MAX);
    root.add_string("null", nullptr);
    root.add_string("empty", "");
    // A quotation mark, a backslash, the named controls, other controls as
    // \u00XX (lower-case hex), DEL and UTF-8 bytes as they are.
    root.add_string("escapes", "q\"b\\ \b\f\n\r\t \x01\x1f \x7f \xc3\xa9");
    root.add_string("k\"ey", "v");
    // Keys and texts past what is put together on the stack.
    root.add_string(std::string(70, 'k').c_str(), std::string(200, 'v').c_str());
    root.add_int(std::string(65, 'n').c_str(), -1);
    root.add_string("long", (std::string(60, 'x') + "\"").c_str());
    root.add_object("empty-object");
    root.add_array("empty-array");
    Writer list = root.add_array("list");
    list.add_int("ignored", 1);
    {
        Writer item = list.add_object("ignored");
        item.add_string("a", "b");
        Writer inner = item.add_array("inner");
        inner.add_int("", -7);
        inner.add_string("", "x");
        Writer deeper = inner.add_object("");
        deeper.add_int("d", 3);
    }
    list.add_string("", "last");
}

TEST(JsonAppender, MembersAndNestingAsTheDocumentWriterWritesThem)
{
    // By hand: members in call order, keys ignored in arrays, children
    // closed where they end.
    const std::string expected =
        R"({"service":"rrm","version":"2.4","cmd":"t","zero":0,"min":-2147483648,)"
        R"("max":2147483647,"null":"","empty":"",)"
        R"("escapes":"q\"b\\ \b\f\n\r\t \u0001\u001f )"
        "\x7f \xc3\xa9"
        R"(","k\"ey":"v",")" + std::string(70, 'k') + R"(":")" + std::string(200, 'v') +
        R"(",")" + std::string(65, 'n') + R"(":-1,"long":")" + std::string(60, 'x') +
        R"(\"","empty-object":{},"empty-array":[],)"
        R"("list":[1,{"a":"b","inner":[-7,"x",{"d":3}]},"last"]})";
    EXPECT_EQ(appended("rrm", "t", "", [](JsonAppender& root) { build_shape(root); }), expected);

    JsonWriter document("rrm", "t", "");
    build_shape(document);
    EXPECT_EQ(document.to_string(), expected);
}

TEST(JsonAppender, ReadyJsonTextAndMovedWriters)
{
    const std::string text = appended(nullptr, nullptr, nullptr, [](JsonAppender& root) {
        root.add_json("raw", R"([{"a":1},2])");
        JsonAppender list = root.add_array("list");
        list.add_json("", "{}");
        list.add_json("", "true");
        // A moved writer closes its bracket once, where the new one ends.
        JsonAppender moved = std::move(list);
        moved.add_int("", 5);
    });
    EXPECT_EQ(text, R"({"raw":[{"a":1},2],"list":[{},true,5]})");
}

}  // namespace
