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
//
// A reserved writer's document lives in its own arena, and nothing else may:
// documents of other writers and of parsed readers must survive the reserved
// writer, whatever order writers are made, moved and destroyed in. Run under
// ASan, a document left in a freed arena shows as a use after free.

// Longer than the 15 bytes a value holds inline, so it takes memory from the
// document's arena or the heap.
const std::string kLong(40, 'x');

// A document with out-of-line strings at two levels.
void fill(JsonWriter& w, const std::string& tag)
{
    w.add_string("tag", (tag + kLong).c_str());
    JsonWriter child = w.add_object("child");
    child.add_string("deep", (tag + kLong).c_str());
    JsonWriter list = child.add_array("list");
    list.add_string(nullptr, (tag + kLong).c_str());
    list.add_int(nullptr, 7);
}

std::string filled_text(const std::string& version, const std::string& tag)
{
    std::string head = version.empty() ? "{" : "{\"version\":\"" + version + "\",";
    return head + "\"tag\":\"" + tag + kLong + "\",\"child\":{\"deep\":\"" + tag + kLong +
           "\",\"list\":[\"" + tag + kLong + "\",7]}}";
}

TEST(JsonWriterArena, ReserveMovesTheDocumentAndLeavesTheThreadAlone)
{
    for (bool outer_installed : {false, true}) {
        SCOPED_TRACE(outer_installed ? "outer arena installed" : "no arena installed");
        yajson::MonotonicArena outer(256);
        yajson::MonotonicArena* const before = outer_installed ? &outer : nullptr;
        yajson::current_arena = before;
        {
            JsonWriter w("2.1");
            JsonWriter child = w.add_object("o");
            child.add_string("long", kLong.c_str());
            EXPECT_EQ(nullptr, w.arena()) << "a new writer keeps its document on the heap";
            EXPECT_FALSE(w.resolve().as_object().find("o")->as_object().find("long")->in_arena())
                << "not in an arena the writer does not own";
            const std::string text = w.to_string();

            child.reserve(0);  // only a root writer gets an arena
            EXPECT_EQ(nullptr, w.arena());
            w.reserve(0);
            yajson::MonotonicArena* const mine = w.arena();
            ASSERT_NE(nullptr, mine);
            EXPECT_NE(&outer, mine);
            EXPECT_EQ(mine, child.arena()) << "a child builds into its root's arena";
            EXPECT_EQ(before, yajson::current_arena) << "nothing stays installed";
            EXPECT_EQ(text, w.to_string());
            w.reserve(1 << 20);  // already has one
            EXPECT_EQ(mine, w.arena());

            // The old child's path leads into the moved document; what it
            // and new children add comes from the writer's arena.
            child.add_int("n", 1);
            JsonWriter more = w.add_array("more");
            more.add_string(nullptr, kLong.c_str());
            EXPECT_TRUE(w.resolve().as_object().find("more")->at(0).in_arena());
            EXPECT_EQ(before, yajson::current_arena);
            EXPECT_EQ("{\"version\":\"2.1\",\"o\":{\"long\":\"" + kLong +
                          "\",\"n\":1},\"more\":[\"" + kLong + "\"]}",
                      std::string(w.to_string()));

            JsonWriter moved(std::move(w));
            EXPECT_EQ(mine, moved.arena()) << "the arena moves with the document";
            EXPECT_TRUE(w.is_null());
            EXPECT_EQ(nullptr, w.arena());
        }
        EXPECT_EQ(before, yajson::current_arena);
        yajson::current_arena = nullptr;
    }
}

TEST(JsonWriterArena, WriterMadeAfterReserveMovedIntoTheReservedOne)
{
    // The reserved writer gives up its arena on assignment; the document it
    // takes must not be in that arena.
    JsonWriter a("");
    a.reserve(0);
    JsonWriter b("2.4");
    fill(b, "b");
    a = std::move(b);
    EXPECT_EQ(filled_text("2.4", "b"), a.to_string());
    fill(a, "a");  // replaces in place, now on the heap
    EXPECT_EQ(filled_text("2.4", "a"), a.to_string());

    // The other way round: a reserved document moved over a heap one and
    // then over another reserved one.
    JsonWriter c("");
    fill(c, "c");
    JsonWriter d("");
    d.reserve(0);
    fill(d, "d");
    c = std::move(d);
    EXPECT_EQ(filled_text("", "d"), c.to_string());
    JsonWriter e("");
    e.reserve(64);
    fill(e, "e");
    c = std::move(e);
    EXPECT_EQ(filled_text("", "e"), c.to_string());
    JsonWriter f(std::move(c));
    EXPECT_EQ(filled_text("", "e"), f.to_string());
}

TEST(JsonWriterArena, EveryReserveAndDestructionOrder)
{
    // Three writers made one after the other; each subset of them reserves
    // right after it is made, then all are filled, then they are destroyed
    // in each of the six orders. The survivors' documents stay whole.
    const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int mask = 0; mask < 8; ++mask) {
        for (const auto& order : orders) {
            SCOPED_TRACE("reserve mask " + std::to_string(mask) + ", destruction order " +
                         std::to_string(order[0]) + std::to_string(order[1]) +
                         std::to_string(order[2]));
            std::unique_ptr<JsonWriter> w[3];
            for (int i = 0; i < 3; ++i) {
                w[i] = std::make_unique<JsonWriter>("");
                if (mask & (1 << i))
                    w[i]->reserve(0);
            }
            // Interleaved, so that every arena grows while others exist.
            for (int i = 0; i < 3; ++i)
                w[i]->add_string("tag", ("w" + std::to_string(i) + kLong).c_str());
            for (int i = 0; i < 3; ++i)
                fill(*w[i], "w" + std::to_string(i));
            // A reader parsed meanwhile owns its document as well.
            rrm::JsonReader reader(("{\"r\":\"" + kLong + "\"}").c_str());
            for (int step = 0; step < 3; ++step) {
                w[order[step]].reset();
                for (int i = 0; i < 3; ++i) {
                    if (w[i]) {
                        EXPECT_EQ(filled_text("", "w" + std::to_string(i)), w[i]->to_string());
                    }
                }
                EXPECT_EQ(kLong, reader.get_string("r"));
            }
            EXPECT_EQ(nullptr, yajson::current_arena);
        }
    }
}

TEST(JsonWriterArena, ForeignArenaIsNeitherUsedNorReplaced)
{
    // A writer never builds into an arena it does not own (it may outlive
    // it), and never changes what the thread has installed.
    auto foreign = std::make_unique<yajson::MonotonicArena>(256);
    yajson::current_arena = foreign.get();
    JsonWriter plain("");
    JsonWriter reserved("");
    reserved.reserve(0);
    fill(plain, "p");
    fill(reserved, "r");
    EXPECT_EQ(foreign.get(), yajson::current_arena);
    yajson::current_arena = nullptr;
    foreign.reset();
    EXPECT_EQ(filled_text("", "p"), plain.to_string());
    EXPECT_EQ(filled_text("", "r"), reserved.to_string());
}

} // namespace
