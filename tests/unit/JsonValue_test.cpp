#include <yajson/yajson.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

using yajson::JsonObject;
using yajson::JsonValue;
using yajson::Kind;

namespace {

template <class Fn>
std::string what_of(Fn fn)
{
    try {
        fn();
    } catch (const std::system_error& e) {
        return e.what();
    }
    return "<no exception>";
}

std::string key_of(int i) { return "key" + std::to_string(i); }

JsonValue object_of(int members)
{
    JsonValue v = JsonValue::make_object();
    for (int i = 0; i < members; ++i)
        v.set(key_of(i), i);
    return v;
}

TEST(JsonKinds, NumbersAndNames)
{
    const std::vector<std::pair<Kind, const char*>> table = {
        {Kind::Null, "null"},     {Kind::Bool, "bool"},     {Kind::Integer, "integer"},
        {Kind::Float, "float"},   {Kind::String, "string"}, {Kind::Array, "array"},
        {Kind::Object, "object"}, {Kind::UInteger, "uinteger"},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(static_cast<int>(table[i].first), static_cast<int>(i));
        EXPECT_STREQ(table[i].second, yajson::kind_name(static_cast<int>(i)));
    }
    EXPECT_STREQ("unknown", yajson::kind_name(8));
    EXPECT_STREQ("unknown", yajson::kind_name(255));
}

TEST(JsonValueScalars, ConstructionPicksTheKind)
{
    EXPECT_EQ(Kind::Null, JsonValue().kind());
    EXPECT_EQ(Kind::Bool, JsonValue(true).kind());
    EXPECT_EQ(Kind::Integer, JsonValue(std::int64_t{-3}).kind());
    EXPECT_EQ(Kind::Integer, JsonValue(7).kind());
    EXPECT_EQ(Kind::UInteger, JsonValue(std::uint64_t{3}).kind());
    EXPECT_EQ(Kind::Float, JsonValue(1.5).kind());
    EXPECT_EQ(Kind::String, JsonValue("x").kind());
    EXPECT_TRUE(JsonValue(true).as_bool());
    EXPECT_FALSE(JsonValue(false).as_bool());
}

TEST(JsonValueAccessors, ConversionsBetweenIntegerKinds)
{
    EXPECT_EQ(5, JsonValue(std::uint64_t{5}).as_integer());
    EXPECT_EQ(INT64_MAX, JsonValue(std::uint64_t{INT64_MAX}).as_integer());
    EXPECT_EQ(0u, JsonValue(std::int64_t{0}).as_uinteger());
    EXPECT_EQ(-2.0, JsonValue(std::int64_t{-2}).as_number());
    EXPECT_EQ(1.8446744073709552e19, JsonValue(UINT64_MAX).as_number());
    EXPECT_EQ(0.25, JsonValue(0.25).as_number());
}

TEST(JsonValueAccessors, WrongKindThrowsTypeErrorWithText)
{
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] { JsonValue(std::uint64_t{9223372036854775808ULL}).as_integer(); },
         "expected integer, got uinteger: type mismatch"},
        {[] { JsonValue(std::int64_t{-1}).as_uinteger(); }, "expected uinteger, got integer: type mismatch"},
        {[] { JsonValue(1).as_bool(); }, "expected bool, got integer: type mismatch"},
        {[] { JsonValue(1.0).as_integer(); }, "expected integer, got float: type mismatch"},
        {[] { JsonValue().as_uinteger(); }, "expected uinteger, got null: type mismatch"},
        {[] { JsonValue("1").as_number(); }, "expected number, got string: type mismatch"},
        {[] { JsonValue(true).as_string(); }, "expected string, got bool: type mismatch"},
        {[] { JsonValue::make_object().as_array(); }, "expected array, got object: type mismatch"},
        {[] { JsonValue::make_array().as_object(); }, "expected object, got array: type mismatch"},
        {[] { JsonValue::make_object().at(0); }, "expected array, got object: type mismatch"},
        {[] { JsonValue::make_array().set("a", 1); }, "expected object, got array: type mismatch"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, what_of(c.first));

    try {
        JsonValue().as_bool();
        FAIL();
    } catch (const yajson::TypeError& e) {
        EXPECT_EQ(50, e.code().value());
        EXPECT_STREQ("json", e.code().category().name());
    }
}

TEST(JsonValueAccessors, AtChecksTheIndex)
{
    JsonValue a = JsonValue::make_array();
    for (int i = 0; i < 3; ++i)
        a.as_array().push_back(JsonValue(i * 10));
    EXPECT_EQ(20, a.at(2).as_integer());
    try {
        a.at(3);
        FAIL();
    } catch (const yajson::OutOfRangeError& e) {
        EXPECT_STREQ("array index 3 out of range (size=3): index out of range", e.what());
        EXPECT_EQ(51, e.code().value());
    }
}

TEST(JsonValueStrings, StorageByLengthAndArena)
{
    const std::string s15(15, 'a'), s16(16, 'b');
    {
        JsonValue v(s15);
        EXPECT_EQ(15, v.inline_length());
        EXPECT_FALSE(v.in_arena());
        EXPECT_EQ(s15, v.as_string());
        EXPECT_EQ('\0', v.as_string().data()[15]);
    }
    {
        JsonValue v(s16);
        EXPECT_EQ(255, v.inline_length());
        EXPECT_FALSE(v.in_arena());
        EXPECT_EQ(s16, v.as_string());
    }
    yajson::MonotonicArena arena(256);
    yajson::ArenaScope scope(&arena);
    JsonValue inl(s15);
    EXPECT_FALSE(inl.in_arena());
    const size_t before = arena.total();
    JsonValue v(s16);
    EXPECT_EQ(255, v.inline_length());
    EXPECT_TRUE(v.in_arena());
    EXPECT_EQ(s16, v.as_string());
    EXPECT_EQ('\0', v.as_string().data()[16]);
    EXPECT_EQ(before, arena.total()); // carved from the block already there
}

TEST(JsonValueStrings, EmbeddedNulBytesAreKept)
{
    const std::string shortz("a\0b", 3), longz("0123456789\0abcdefghij", 21);
    EXPECT_EQ(shortz, JsonValue(shortz).as_string());
    EXPECT_EQ(longz, JsonValue(longz).as_string());
    yajson::MonotonicArena arena;
    yajson::ArenaScope scope(&arena);
    EXPECT_EQ(longz, JsonValue(longz).as_string());
}

TEST(JsonValueMoves, MovedFromValueIsNull)
{
    JsonValue a(std::string(40, 'x'));
    JsonValue b(std::move(a));
    EXPECT_TRUE(a.is_null());
    EXPECT_EQ(0, a.inline_length());
    EXPECT_EQ(std::string(40, 'x'), b.as_string());

    JsonValue c = object_of(3);
    JsonValue d;
    d = std::move(c);
    EXPECT_TRUE(c.is_null());
    EXPECT_EQ(3u, d.as_object().size());
}

TEST(JsonValueCopies, CopyOfArenaDocumentOutlivesTheArena)
{
    JsonValue copy;
    {
        auto arena = std::make_unique<yajson::MonotonicArena>(256);
        JsonValue doc;
        {
            yajson::ArenaScope scope(arena.get());
            doc = JsonValue::make_object();
            doc.set("long string member", std::string(100, 's'));
            JsonValue arr = JsonValue::make_array();
            for (int i = 0; i < 20; ++i)
                arr.as_array().push_back(JsonValue(std::string(20, static_cast<char>('a' + i))));
            doc.set("list", std::move(arr));
            for (int i = 0; i < 20; ++i)
                doc.set(key_of(i), i);
            EXPECT_TRUE(doc.in_arena());
            ASSERT_NE(nullptr, doc.as_object().find("key19")); // builds the index
        }
        copy = doc; // no arena installed here
        doc = JsonValue();
    } // arena and everything in it gone; ASan catches any sharing
    EXPECT_FALSE(copy.in_arena());
    EXPECT_FALSE(copy.as_object().has_index());
    EXPECT_EQ(std::string(100, 's'), copy.as_object().find("long string member")->as_string());
    const JsonValue* list = copy.as_object().find("list");
    ASSERT_NE(nullptr, list);
    EXPECT_FALSE(list->in_arena());
    EXPECT_FALSE(list->at(19).in_arena());
    EXPECT_EQ(std::string(20, 't'), list->at(19).as_string());
    EXPECT_EQ(22u, copy.as_object().size());
    EXPECT_EQ(19, copy.as_object().find("key19")->as_integer());
}

TEST(JsonValueCopies, CopyIntoArenaWhenInstalled)
{
    JsonValue src = JsonValue::make_array();
    src.as_array().push_back(JsonValue(std::string(30, 'q')));
    yajson::MonotonicArena arena;
    yajson::ArenaScope scope(&arena);
    JsonValue copy(src);
    EXPECT_TRUE(copy.in_arena());
    EXPECT_TRUE(copy.at(0).in_arena());
    EXPECT_EQ(1u, copy.as_array().capacity());
    EXPECT_EQ(src.at(0).as_string(), copy.at(0).as_string());
}

TEST(JsonErrorCategory, MessagesAndConditions)
{
    const std::map<int, const char*> table = {
        {0, "success"},
        {1, "unexpected end of input"},
        {2, "unexpected character"},
        {3, "invalid escape sequence"},
        {4, "invalid unicode escape"},
        {5, "invalid number"},
        {6, "unterminated string"},
        {7, "unterminated array"},
        {8, "unterminated object"},
        {9, "trailing content after JSON"},
        {10, "maximum nesting depth exceeded"},
        {11, "invalid literal"},
        {12, "duplicate key"},
        {13, "invalid UTF-8 encoding"},
        {14, "invalid comment"},
        {15, "unknown json error"},
        {50, "type mismatch"},
        {51, "index out of range"},
        {52, "key not found"},
        {53, "integer overflow"},
        {54, "unknown json error"},
        {80, "NaN or Infinity not representable"},
        {-1, "unknown json error"},
    };
    const std::error_category& cat = yajson::json_error_category();
    EXPECT_STREQ("json", cat.name());
    EXPECT_EQ(&cat, &yajson::json_error_category());
    for (const auto& [code, text] : table)
        EXPECT_EQ(text, cat.message(code)) << code;
    EXPECT_EQ(std::error_condition(0, std::generic_category()), cat.default_error_condition(0));
    EXPECT_EQ(std::error_condition(7, cat), cat.default_error_condition(7));
    std::error_code ec = yajson::errc::duplicate_key;
    EXPECT_EQ(12, ec.value());
    EXPECT_EQ(&cat, &ec.category());
}

TEST(JsonHash, KnownValues)
{
    EXPECT_EQ(0x57e847f7c8430bbfULL, yajson::detail::hash_key("", 0));
    EXPECT_EQ(0xb0d36b891077232eULL, yajson::detail::hash_key("abc", 3));
    // Every length class hashes without reading past the key.
    std::string s;
    for (int n = 0; n < 40; ++n, s += static_cast<char>('a' + n % 26))
        EXPECT_EQ(yajson::detail::hash_key(s.data(), s.size()), yajson::detail::hash_key(std::string(s)));
}

TEST(JsonObjectIndex, BuiltOnlyAboveFifteenMembers)
{
    JsonValue v15 = object_of(15);
    EXPECT_NE(nullptr, v15.as_object().find("key14"));
    EXPECT_EQ(nullptr, v15.as_object().find("nope"));
    EXPECT_FALSE(v15.as_object().has_index());

    JsonValue v16 = object_of(16);
    EXPECT_FALSE(v16.as_object().has_index());
    ASSERT_NE(nullptr, v16.as_object().find("key15"));
    EXPECT_TRUE(v16.as_object().has_index());
    EXPECT_EQ(15, v16.as_object().find("key15")->as_integer());
}

TEST(JsonObjectIndex, SetReplacesInPlaceOrAppends)
{
    for (int size : {3, 15, 16, 40}) {
        JsonValue v = object_of(size);
        v.set("key1", "replaced");
        ASSERT_EQ(static_cast<size_t>(size), v.as_object().size());
        EXPECT_EQ("key1", v.as_object()[1].key);
        EXPECT_EQ("replaced", v.as_object()[1].value.as_string());
        v.set("new", 99);
        ASSERT_EQ(static_cast<size_t>(size + 1), v.as_object().size());
        EXPECT_EQ("new", v.as_object()[size].key);
        EXPECT_EQ(99, v.as_object().find("new")->as_integer());
    }
}

TEST(JsonObjectIndex, EraseAcrossTheBoundaryKeepsEveryKeyFindable)
{
    JsonValue v = object_of(16);
    JsonObject& o = v.as_object();
    ASSERT_NE(nullptr, o.find("key0")); // index built
    EXPECT_TRUE(o.erase("key3"));
    EXPECT_EQ(15u, o.size());
    v.set("fresh", 1);
    v.set("fresher", 2); // 17 members now, the storage may move
    for (int i = 0; i < 16; ++i) {
        if (i == 3) {
            EXPECT_EQ(nullptr, o.find(key_of(i)));
            continue;
        }
        ASSERT_NE(nullptr, o.find(key_of(i))) << i;
        EXPECT_EQ(i, o.find(key_of(i))->as_integer());
    }
    EXPECT_EQ(1, o.find("fresh")->as_integer());
    EXPECT_EQ(2, o.find("fresher")->as_integer());
    EXPECT_EQ("key4", o[3].key); // later members moved down in order
}

TEST(JsonObjectIndex, EraseOfAbsentKeyChangesNothing)
{
    for (int size : {4, 20}) {
        JsonValue v = object_of(size);
        JsonValue before(v);
        EXPECT_FALSE(v.as_object().erase("absent"));
        ASSERT_EQ(before.as_object().size(), v.as_object().size());
        for (size_t i = 0; i < v.as_object().size(); ++i)
            EXPECT_EQ(before.as_object()[i].key, v.as_object()[i].key);
    }
}

TEST(JsonObjectIndex, MixedEditsAgreeWithAReferenceMap)
{
    // Keys longer and shorter than the string's inline buffer: short keys
    // move with the member storage, which is what makes the index go stale.
    JsonValue v = JsonValue::make_object();
    std::map<std::string, int> ref;
    std::vector<std::string> order;
    unsigned seed = 12345;
    for (int step = 0; step < 3000; ++step) {
        seed = seed * 1103515245u + 12345u;
        const int k = static_cast<int>((seed >> 8) % 60);
        const std::string key = (k % 3 == 0) ? "a-much-longer-key-name-" + std::to_string(k) : "k" + std::to_string(k);
        if ((seed >> 20) % 4 == 0) {
            const bool erased = v.as_object().erase(key);
            EXPECT_EQ(ref.count(key) == 1, erased);
            if (erased) {
                ref.erase(key);
                order.erase(std::find(order.begin(), order.end(), key));
            }
        } else {
            v.set(key, step);
            if (!ref.count(key))
                order.push_back(key);
            ref[key] = step;
        }
        if (step % 97 == 0) {
            ASSERT_EQ(order.size(), v.as_object().size());
            for (size_t i = 0; i < order.size(); ++i) {
                EXPECT_EQ(order[i], v.as_object()[i].key);
                const JsonValue* f = v.as_object().find(order[i]);
                ASSERT_NE(nullptr, f) << order[i];
                EXPECT_EQ(ref[order[i]], f->as_integer());
            }
        }
    }
}

TEST(JsonObjectDuplicates, LastOccurrenceSurvivesInOrder)
{
    // Members appended as the parser does, without looking for the key.
    struct Row {
        std::vector<std::pair<std::string, int>> in;
        std::vector<std::pair<std::string, int>> out;
    };
    std::vector<Row> rows = {
        {{{"a", 1}, {"b", 2}, {"a", 3}}, {{"b", 2}, {"a", 3}}},
        {{{"x", 1}}, {{"x", 1}}},
        {{{"x", 1}, {"x", 2}, {"x", 3}}, {{"x", 3}}},
    };
    // A 20-member object with two repeated keys.
    Row wide;
    for (int i = 0; i < 18; ++i)
        wide.in.push_back({key_of(i), i});
    wide.in.push_back({key_of(2), 100});
    wide.in.push_back({key_of(7), 200});
    for (int i = 0; i < 18; ++i)
        if (i != 2 && i != 7)
            wide.out.push_back({key_of(i), i});
    wide.out.push_back({key_of(2), 100});
    wide.out.push_back({key_of(7), 200});
    rows.push_back(wide);

    for (const Row& row : rows) {
        yajson::JsonObject obj(std::pmr::new_delete_resource());
        for (const auto& [k, n] : row.in)
            yajson::detail::ObjectBuilder::append(obj, k, JsonValue(n));
        obj.remove_duplicates();
        ASSERT_EQ(row.out.size(), obj.size());
        for (size_t i = 0; i < row.out.size(); ++i) {
            EXPECT_EQ(row.out[i].first, obj[i].key);
            EXPECT_EQ(row.out[i].second, obj[i].value.as_integer());
        }
        EXPECT_EQ(obj.size() > 15, obj.has_index());
        for (const auto& [k, n] : row.out)
            EXPECT_EQ(n, obj.find(k)->as_integer());
    }
}

TEST(MonotonicArenaTest, BlockSizesDoubleFromTheLastBlock)
{
    yajson::MonotonicArena arena(100);
    EXPECT_EQ(256u + 16u, arena.total());
    EXPECT_EQ(512u, arena.next_block_size());
    void* small = arena.allocate(200, 8);
    EXPECT_EQ(256u + 16u, arena.total());
    void* big = arena.allocate(1000, 8);
    EXPECT_EQ(256u + 16u + 1007u + 16u, arena.total());
    EXPECT_EQ(2014u, arena.next_block_size());
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(big) % 8);
    std::memset(small, 1, 200);
    std::memset(big, 2, 1000);
}

TEST(MonotonicArenaTest, AlignmentAndDeallocate)
{
    yajson::MonotonicArena arena(4096);
    char* a = static_cast<char*>(arena.allocate(3, 1));
    arena.deallocate(a, 3, 1);
    char* b = static_cast<char*>(arena.allocate(5, 1));
    EXPECT_EQ(a + 3, b); // nothing given back, nothing reused
    for (size_t align : {2, 4, 8, 16, 64, 256}) {
        void* p = arena.allocate(1, align);
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(p) % align) << align;
    }
    void* huge_aligned = arena.allocate(10000, 4096);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(huge_aligned) % 4096);
}

TEST(MonotonicArenaTest, EqualityIsIdentity)
{
    yajson::MonotonicArena a(256), b(256);
    EXPECT_TRUE(a.is_equal(a));
    EXPECT_FALSE(a.is_equal(b));
    EXPECT_FALSE(a.is_equal(*std::pmr::new_delete_resource()));
}

TEST(MonotonicArenaTest, ImpossibleRequestFailsAndArenaStaysUsable)
{
    yajson::MonotonicArena arena(256);
    volatile size_t impossible = SIZE_MAX - 2; // fails before any malloc
    EXPECT_EQ(nullptr, arena.try_allocate(impossible, 8));
    EXPECT_THROW((void)arena.allocate(impossible, 8), std::bad_alloc);
    EXPECT_NE(nullptr, arena.try_allocate(16, 8));
}

TEST(MonotonicArenaTest, ScopeInstallsAndRestores)
{
    EXPECT_EQ(nullptr, yajson::current_arena);
    yajson::MonotonicArena outer, inner;
    {
        yajson::ArenaScope s1(&outer);
        EXPECT_EQ(&outer, yajson::current_arena);
        {
            yajson::ArenaScope s2(&inner);
            EXPECT_EQ(&inner, yajson::current_arena);
            JsonValue o = JsonValue::make_object();
            JsonValue a = JsonValue::make_array();
            EXPECT_TRUE(o.in_arena());
            EXPECT_TRUE(a.in_arena());
            EXPECT_EQ(&inner, o.as_object().resource());
            EXPECT_EQ(&inner, a.as_array().get_allocator().resource());
        }
        EXPECT_EQ(&outer, yajson::current_arena);
    }
    EXPECT_EQ(nullptr, yajson::current_arena);
    JsonValue heap = JsonValue::make_object();
    EXPECT_FALSE(heap.in_arena());
    EXPECT_EQ(std::pmr::new_delete_resource(), heap.as_object().resource());
}

} // namespace
