#include "JsonReader.h"
#include "JsonWriter.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

using rrm::JsonWriter;

const char kSlotMissing[] =
    "found != nullptr && \"JsonWriter child slot must exist (see nested ctor)\"";

// ------------------------------------------------------------------ header

TEST(JsonWriterHeader, RootVersion)
{
    struct {
        const char* version;
        const char* expected;
    } cases[] = {
        {nullptr, "{}"},
        {"", "{}"},
        {"2.1", "{\"version\":\"2.1\"}"},
        {"2.0", "{\"version\":\"2.0\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version ? c.version : "(null)");
        JsonWriter w(c.version);
        EXPECT_STREQ(c.expected, w.to_string());
        EXPECT_FALSE(w.is_null());
    }
}

TEST(JsonWriterHeader, MemberOrder)
{
    struct {
        const char* service;
        const char* cmd;
        const char* version;
        const char* expected;
    } cases[] = {
        {"rrm", "scan-request", "", "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"scan-request\"}"},
        {"rrm", "c", nullptr, "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"c\"}"},
        {"rrm", "c", "2.1", "{\"version\":\"2.1\",\"service\":\"rrm\",\"cmd\":\"c\"}"},
        {"other", "c", "2.0", "{\"version\":\"2.0\",\"service\":\"other\",\"cmd\":\"c\"}"},
        {"other", "c", "", "{\"service\":\"other\",\"cmd\":\"c\"}"},
        {"RRM", "c", "", "{\"service\":\"RRM\",\"cmd\":\"c\"}"},
        {"rrm ", "c", nullptr, "{\"service\":\"rrm \",\"cmd\":\"c\"}"},
        {"", "c", "", "{\"cmd\":\"c\"}"},
        {nullptr, "c", "2.1", "{\"version\":\"2.1\",\"cmd\":\"c\"}"},
        {"rrm", "", "", "{\"service\":\"rrm\",\"version\":\"2.4\"}"},
        {"rrm", nullptr, "", "{\"service\":\"rrm\",\"version\":\"2.4\"}"},
        {nullptr, nullptr, nullptr, "{}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        JsonWriter w(c.service, c.cmd, c.version);
        EXPECT_STREQ(c.expected, w.to_string());
    }
}

TEST(JsonWriterHeader, BodyFollowsHeader)
{
    JsonWriter w("rrm", "mode-request", "");
    w.add_string("domain", "d1").add_int("radio", 2);
    EXPECT_STREQ("{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"mode-request\","
                 "\"domain\":\"d1\",\"radio\":2}",
                 w.to_string());
}

// ---------------------------------------------------------------- scalars

TEST(JsonWriterScalars, AddIntAndString)
{
    const std::string long_value(100, 'v');
    JsonWriter w("");
    w.add_int("a", 1)
        .add_string("s", nullptr)
        .add_int("flag", true)
        .add_int("off", false)
        .add_int("min", INT_MIN)
        .add_int("none", std::optional<int>())
        .add_int("some", std::optional<int>(-5))
        .add_string("long", long_value.c_str())
        .add_string("esc", "q\"\\\t\x01")
        .add_int("", 9)
        .add_int("a", 2); // replaced in place
    EXPECT_EQ("{\"a\":2,\"s\":\"\",\"flag\":1,\"off\":0,\"min\":-2147483648,\"some\":-5,"
              "\"long\":\"" + long_value + "\",\"esc\":\"q\\\"\\\\\\t\\u0001\",\"\":9}",
              std::string(w.to_string()));
}

TEST(JsonWriterScalars, NullKeyOnObjectWriterIsLogicError)
{
    JsonWriter w("");
    EXPECT_THROW(w.add_int(nullptr, 1), std::logic_error);
    EXPECT_THROW(w.add_string(nullptr, "x"), std::logic_error);
    JsonWriter obj = w.add_object("o");
    EXPECT_THROW(obj.add_int(nullptr, std::optional<int>(1)), std::logic_error);
    EXPECT_NO_THROW(obj.add_int(nullptr, std::optional<int>())); // nothing to add
    EXPECT_STREQ("{\"o\":{}}", w.to_string());
}

TEST(JsonWriterScalars, ManyMembersReplaceInPlace)
{
    // Past 15 members the object is searched through its key index.
    JsonWriter w("");
    for (int i = 0; i < 40; ++i)
        w.add_int(("k" + std::to_string(i)).c_str(), i);
    for (int i = 0; i < 40; i += 3)
        w.add_int(("k" + std::to_string(i)).c_str(), -i);
    rrm::JsonReader r(w.to_string());
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(i % 3 == 0 ? -i : i, r.get_int(("k" + std::to_string(i)).c_str())) << i;
    EXPECT_EQ(0, std::string(w.to_string()).find("{\"k0\":0,\"k1\":1,\"k2\":2,\"k3\":-3,"));
}

// ---------------------------------------------------------------- children

TEST(JsonWriterChildren, NestedDocumentAndSubtreeText)
{
    JsonWriter root("2.1");
    JsonWriter radios = root.add_array("radios");
    JsonWriter r0 = radios.add_object("ignored");
    r0.add_int("channel", 36).add_string("band", "5g");
    JsonWriter clients = r0.add_array("clients");
    clients.add_string("ignored", "aa").add_int(nullptr, 7);
    JsonWriter r1 = radios.add_object(nullptr);
    r1.add_int("channel", 1);
    JsonWriter empty = root.add_object(nullptr);
    root.add_string("status", "success");

    EXPECT_STREQ("{\"version\":\"2.1\",\"radios\":[{\"channel\":36,\"band\":\"5g\",\"clients\":[\"aa\",7]},"
                 "{\"channel\":1}],\"\":{},\"status\":\"success\"}",
                 root.to_string());
    EXPECT_STREQ("[{\"channel\":36,\"band\":\"5g\",\"clients\":[\"aa\",7]},{\"channel\":1}]",
                 radios.to_string());
    EXPECT_STREQ("[\"aa\",7]", clients.to_string());
    EXPECT_STREQ("{}", empty.to_string());
    EXPECT_STREQ("{\n    \"channel\": 1\n}", r1.to_pretty_string());
    EXPECT_STREQ("{\n"
                 "    \"version\": \"2.1\",\n"
                 "    \"radios\": [\n"
                 "        {\n"
                 "            \"channel\": 36,\n"
                 "            \"band\": \"5g\",\n"
                 "            \"clients\": [\n"
                 "                \"aa\",\n"
                 "                7\n"
                 "            ]\n"
                 "        },\n"
                 "        {\n"
                 "            \"channel\": 1\n"
                 "        }\n"
                 "    ],\n"
                 "    \"\": {},\n"
                 "    \"status\": \"success\"\n"
                 "}",
                 root.to_pretty_string());
    EXPECT_FALSE(radios.is_null());
    EXPECT_FALSE(empty.is_null());
}

TEST(JsonWriterChildren, TextsFollowLaterAdditions)
{
    JsonWriter root("");
    JsonWriter child = root.add_object("c");
    EXPECT_STREQ("{}", child.to_string());
    child.add_int("x", 1);
    EXPECT_STREQ("{\"x\":1}", child.to_string());
    EXPECT_STREQ("{\"c\":{\"x\":1}}", root.to_string());
    EXPECT_STREQ("{\n    \"c\": {\n        \"x\": 1\n    }\n}", root.to_pretty_string());
}

TEST(JsonWriterChildren, SameKeyReplacesContainerAndOldChildFollows)
{
    JsonWriter root("");
    root.add_int("before", 0);
    JsonWriter first = root.add_object("x");
    first.add_int("a", 1);
    root.add_int("after", 0);
    JsonWriter second = root.add_array("x");
    EXPECT_STREQ("{\"before\":0,\"x\":[],\"after\":0}", root.to_string());
    second.add_int(nullptr, 5);
    EXPECT_STREQ("{\"before\":0,\"x\":[5],\"after\":0}", root.to_string());

    JsonWriter third = root.add_object("x");
    first.add_int("b", 2); // writes into the new container
    third.add_int("c", 3);
    EXPECT_STREQ("{\"before\":0,\"x\":{\"b\":2,\"c\":3},\"after\":0}", root.to_string());
}

TEST(JsonWriterChildren, TwoElementsOfOneArrayUsedAlternately)
{
    JsonWriter root("");
    JsonWriter list = root.add_array("list");
    JsonWriter e0 = list.add_object(nullptr);
    JsonWriter e1 = list.add_array(nullptr);
    JsonWriter e2 = list.add_object(nullptr);
    for (int i = 0; i < 20; ++i) { // enough to move every storage around
        e0.add_int(("n" + std::to_string(i)).c_str(), i);
        e1.add_int(nullptr, i);
        e2.add_string("last", std::to_string(i).c_str());
        root.add_int(("pad" + std::to_string(i)).c_str(), i);
    }
    rrm::JsonReader r(root.to_string());
    rrm::JsonReader l = r.child("list");
    ASSERT_EQ(3, l.size());
    EXPECT_EQ(19, l.child(0).get_int("n19"));
    EXPECT_EQ(0, l.child(0).get_int("n0"));
    EXPECT_EQ(20, l.child(1).size());
    EXPECT_EQ(13, l.child(1).get_int(13));
    EXPECT_STREQ("19", l.child(2).get_string("last"));
    EXPECT_STREQ("{\"last\":\"19\"}", e2.to_string());
}

TEST(JsonWriterChildren, MovedChildKeepsItsPath)
{
    JsonWriter root("");
    JsonWriter holder("");
    {
        JsonWriter tmp = root.add_object("o");
        holder = std::move(tmp);
        EXPECT_TRUE(tmp.is_null());
    }
    holder.add_int("x", 1);
    EXPECT_STREQ("{\"o\":{\"x\":1}}", root.to_string());
    EXPECT_FALSE(holder.is_null());
    JsonWriter again(std::move(holder));
    again.add_int("y", 2);
    EXPECT_STREQ("{\"o\":{\"x\":1,\"y\":2}}", root.to_string());
}

// ---------------------------------------------------------------- failures

TEST(JsonWriterFailures, OverwrittenSlots)
{
    JsonWriter root("");
    JsonWriter obj = root.add_object("o");
    JsonWriter grand = obj.add_object("g");
    JsonWriter arr = root.add_array("a");
    JsonWriter elem = arr.add_object(nullptr);

    root.add_int("o", 5).add_string("a", "text");

    try {
        obj.add_int("x", 1);
        FAIL();
    } catch (const yajson::TypeError& e) {
        EXPECT_STREQ("expected object, got integer: type mismatch", e.what());
    }
    try {
        arr.add_int(nullptr, 1);
        FAIL();
    } catch (const yajson::TypeError& e) {
        EXPECT_STREQ("expected array, got string: type mismatch", e.what());
    }
    // The grandchild's member is gone with its parent's object.
    try {
        grand.add_int("x", 1);
        FAIL();
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(kSlotMissing, e.what());
    }
    EXPECT_THROW(elem.to_string(), yajson::TypeError);
    EXPECT_THROW(obj.add_object("new"), yajson::TypeError);
    EXPECT_THROW(arr.add_object("new"), yajson::TypeError);
    // The root document is intact.
    EXPECT_STREQ("{\"o\":5,\"a\":\"text\"}", root.to_string());
}

TEST(JsonWriterFailures, VanishedArraySlot)
{
    JsonWriter root("");
    JsonWriter arr = root.add_array("a");
    arr.add_int(nullptr, 1);
    JsonWriter elem = arr.add_object(nullptr);
    root.add_array("a"); // a new, empty array under the same key
    try {
        elem.add_int("x", 1);
        FAIL();
    } catch (const yajson::OutOfRangeError& e) {
        EXPECT_STREQ("array index 1 out of range (size=0): index out of range", e.what());
    }
}

TEST(JsonWriterFailures, MissingObjectSlotThrowsLogicError)
{
    JsonWriter root("");
    JsonWriter a = root.add_object("a");
    JsonWriter b = a.add_object("b");
    JsonWriter c = b.add_array("c");
    JsonWriter d = a.add_object("d");
    JsonWriter e = d.add_object("e");
    root.add_object("a"); // a new, empty object: "b" and "d" are gone
    a.add_string("d", "text");
    for (JsonWriter* w : {&b, &c}) {
        try {
            w->add_int("x", 1);
            FAIL();
        } catch (const std::logic_error& ex) {
            EXPECT_STREQ(kSlotMissing, ex.what());
        }
        EXPECT_THROW(w->to_string(), std::logic_error);
        EXPECT_THROW(w->to_pretty_string(), std::logic_error);
        EXPECT_THROW(w->resolve(), std::logic_error);
    }
    // Under a member that is no longer an object.
    EXPECT_THROW(e.add_int("x", 1), std::logic_error);
    EXPECT_STREQ("{\"a\":{\"d\":\"text\"}}", root.to_string());
    // The writers on the path still work.
    a.add_int("ok", 1);
    EXPECT_STREQ("{\"a\":{\"d\":\"text\",\"ok\":1}}", root.to_string());
}

// ------------------------------------------------------------------- moves

TEST(JsonWriterMove, MovedFromIsNull)
{
    JsonWriter a("2.1");
    a.add_int("x", 1);
    JsonWriter b(std::move(a));
    EXPECT_TRUE(a.is_null());
    EXPECT_STREQ("null", a.to_string());
    EXPECT_STREQ("{\"version\":\"2.1\",\"x\":1}", b.to_string());

    JsonWriter c("");
    JsonWriter c_child = c.add_object("old");
    c = std::move(b);
    EXPECT_TRUE(b.is_null());
    EXPECT_FALSE(c.is_null());
    EXPECT_STREQ("{\"version\":\"2.1\",\"x\":1}", c.to_string());

    c = std::move(c); // self-assignment changes nothing
    EXPECT_STREQ("{\"version\":\"2.1\",\"x\":1}", c.to_string());
}

// ------------------------------------------------------------------- arena

TEST(JsonWriterArena, ReserveKeepsDocumentAndRestoresOnDestruction)
{
    ASSERT_EQ(nullptr, yajson::current_arena);
    const std::string long_value(50, 'z');
    {
        JsonWriter w("2.1");
        JsonWriter child = w.add_object("o");
        child.add_string("long", long_value.c_str());
        const std::string before = w.to_string();

        child.reserve(0); // only a root writer gets an arena
        EXPECT_EQ(nullptr, yajson::current_arena);

        w.reserve(0);
        yajson::MonotonicArena* mine = yajson::current_arena;
        ASSERT_NE(nullptr, mine);
        EXPECT_EQ(before, w.to_string());
        w.reserve(1 << 20); // already has one
        EXPECT_EQ(mine, yajson::current_arena);

        // The old child's path still leads into the copied document.
        child.add_int("n", 1);
        JsonWriter more = w.add_array("more");
        more.add_string(nullptr, long_value.c_str());
        EXPECT_EQ("{\"version\":\"2.1\",\"o\":{\"long\":\"" + long_value +
                      "\",\"n\":1},\"more\":[\"" + long_value + "\"]}",
                  std::string(w.to_string()));

        // Moving the writer keeps its arena installed.
        JsonWriter moved(std::move(w));
        EXPECT_EQ(mine, yajson::current_arena);
        EXPECT_TRUE(w.is_null());
    }
    EXPECT_EQ(nullptr, yajson::current_arena);
}

TEST(JsonWriterArena, NestedReleaseInOrder)
{
    yajson::MonotonicArena outer(256);
    yajson::current_arena = &outer;
    {
        JsonWriter a("");
        a.reserve(0);
        yajson::MonotonicArena* arena_a = yajson::current_arena;
        {
            JsonWriter b("");
            b.reserve(0);
            EXPECT_NE(arena_a, yajson::current_arena);
        }
        EXPECT_EQ(arena_a, yajson::current_arena);
    }
    EXPECT_EQ(&outer, yajson::current_arena);
    yajson::current_arena = nullptr;
}

TEST(JsonWriterArena, OutOfOrderReleaseLeavesNoDanglingArena)
{
    yajson::MonotonicArena outer(256);
    yajson::current_arena = &outer;
    {
        auto a = std::make_unique<JsonWriter>("");
        a->reserve(0);
        auto b = std::make_unique<JsonWriter>("");
        b->reserve(0);
        yajson::MonotonicArena* arena_b = yajson::current_arena;
        auto c = std::make_unique<JsonWriter>("");
        c->reserve(0);
        yajson::MonotonicArena* arena_c = yajson::current_arena;

        b.reset(); // from the middle: c stays current
        EXPECT_EQ(arena_c, yajson::current_arena);
        a.reset(); // from the bottom: c stays current
        EXPECT_EQ(arena_c, yajson::current_arena);
        (void)arena_b;

        c->add_string("k", "a string that needs the arena");
        EXPECT_STREQ("{\"k\":\"a string that needs the arena\"}", c->to_string());
        c.reset(); // the last one gives back what was there before all three
        EXPECT_EQ(&outer, yajson::current_arena);
    }
    {
        // Assignment releases the same way. (The new documents are made
        // before any arena is installed: they must not live in the arena
        // that the assignment frees.)
        JsonWriter x("x");
        JsonWriter y("y");
        JsonWriter a("");
        a.reserve(0);
        JsonWriter b("");
        b.reserve(0);
        yajson::MonotonicArena* arena_b = yajson::current_arena;
        a = std::move(x);
        EXPECT_EQ(arena_b, yajson::current_arena);
        b = std::move(y);
        EXPECT_EQ(&outer, yajson::current_arena);
        EXPECT_STREQ("{\"version\":\"y\"}", b.to_string());
    }
    EXPECT_EQ(&outer, yajson::current_arena);
    yajson::current_arena = nullptr;
}

TEST(JsonWriterArena, ForeignArenaOnTopIsLeftAlone)
{
    yajson::MonotonicArena foreign(256);
    {
        JsonWriter w("");
        w.reserve(0);
        yajson::current_arena = &foreign;
    }
    EXPECT_EQ(&foreign, yajson::current_arena);
    yajson::current_arena = nullptr;
}

} // namespace
