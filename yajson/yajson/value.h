#pragma once
// The JSON value model: a 24-byte tagged value, array and object bodies on
// polymorphic memory resources, and the lazily built key index of objects.

#include <yajson/arena.h>
#include <yajson/errors.h>
#include <yajson/hash.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace yajson {

// The number of each kind is stored in the value and shows in messages.
enum class Kind : std::uint8_t {
    Null = 0,
    Bool = 1,
    Integer = 2,
    Float = 3,
    String = 4,
    Array = 5,
    Object = 6,
    UInteger = 7,
};

inline const char* kind_name(int kind) noexcept
{
    switch (kind) {
    case 0: return "null";
    case 1: return "bool";
    case 2: return "integer";
    case 3: return "float";
    case 4: return "string";
    case 5: return "array";
    case 6: return "object";
    case 7: return "uinteger";
    default: return "unknown";
    }
}

inline const char* kind_name(Kind kind) noexcept { return kind_name(static_cast<int>(kind)); }

class JsonArray;
class JsonObject;
struct JsonMember;

namespace detail {
// Copies n <= 16 bytes without a library call.
inline __attribute__((always_inline)) void copy_small(char* dst, const char* src, std::size_t n) noexcept
{
    if (n >= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}
} // namespace detail

namespace detail {
class Parser;
class Writer;
struct ObjectBuilder;
constexpr std::uint8_t flag_in_arena = 1;
constexpr std::uint8_t inline_capacity = 15;
constexpr std::uint8_t out_of_line = 255;
} // namespace detail

class JsonValue {
public:
    JsonValue() noexcept = default;
    JsonValue(std::nullptr_t) noexcept {}

    JsonValue(bool b) noexcept : kind_(static_cast<std::uint8_t>(Kind::Bool)) { p_.u = b ? 1 : 0; }

    template <class T, std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value &&
                                            std::is_signed<T>::value,
                                        int> = 0>
    JsonValue(T v) noexcept : kind_(static_cast<std::uint8_t>(Kind::Integer))
    {
        p_.i = static_cast<std::int64_t>(v);
    }

    template <class T, std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value &&
                                            std::is_unsigned<T>::value,
                                        int> = 0>
    JsonValue(T v) noexcept : kind_(static_cast<std::uint8_t>(Kind::UInteger))
    {
        p_.u = static_cast<std::uint64_t>(v);
    }

    JsonValue(double d) noexcept : kind_(static_cast<std::uint8_t>(Kind::Float)) { p_.d = d; }

    JsonValue(std::string_view s) : kind_(static_cast<std::uint8_t>(Kind::String))
    {
        init_string(s.data(), s.size());
    }
    JsonValue(const char* s) : JsonValue(std::string_view(s)) {}
    JsonValue(const std::string& s) : JsonValue(std::string_view(s)) {}

    static JsonValue make_string(std::string_view s) { return JsonValue(s); }
    static JsonValue make_array() { return make_array_in(current_arena); }
    static JsonValue make_object() { return make_object_in(current_arena); }

    JsonValue(JsonValue&& other) noexcept
        : kind_(other.kind_), inline_len_(other.inline_len_), flags_(other.flags_),
          arena_len_{other.arena_len_[0], other.arena_len_[1], other.arena_len_[2], other.arena_len_[3]},
          p_(other.p_)
    {
        std::memset(static_cast<void*>(&other), 0, sizeof(JsonValue));
    }

    JsonValue(const JsonValue& other);

    JsonValue& operator=(JsonValue&& other) noexcept
    {
        if (this != &other) {
            if (owns_storage())
                release();
            take(other);
        }
        return *this;
    }

    JsonValue& operator=(const JsonValue& other)
    {
        if (this != &other) {
            JsonValue copy(other);
            *this = std::move(copy);
        }
        return *this;
    }

    ~JsonValue()
    {
        if (owns_storage())
            release();
    }

    // Stores the bytes of a string on a value whose kind is already string:
    // up to 15 bytes inside the value, longer ones in the current arena when
    // one is installed, else in a heap std::string.
    void init_string(const char* data, std::size_t n) { init_string_in(data, n, current_arena); }

    Kind kind() const noexcept { return static_cast<Kind>(kind_); }
    bool is_null() const noexcept { return kind_ == static_cast<std::uint8_t>(Kind::Null); }
    bool is_bool() const noexcept { return kind_ == static_cast<std::uint8_t>(Kind::Bool); }
    bool is_integer() const noexcept { return kind_ == static_cast<std::uint8_t>(Kind::Integer); }
    bool is_uinteger() const noexcept { return kind_ == static_cast<std::uint8_t>(Kind::UInteger); }
    bool is_float() const noexcept { return kind_ == static_cast<std::uint8_t>(Kind::Float); }
    bool is_number() const noexcept { return is_integer() || is_uinteger() || is_float(); }
    bool is_string() const noexcept { return kind_ == static_cast<std::uint8_t>(Kind::String); }
    bool is_array() const noexcept { return kind_ == static_cast<std::uint8_t>(Kind::Array); }
    bool is_object() const noexcept { return kind_ == static_cast<std::uint8_t>(Kind::Object); }

    // 0-15 for a string stored inside the value, 255 for one stored outside.
    std::uint8_t inline_length() const noexcept { return inline_len_; }
    // The out-of-line string bytes or the container body live in an arena.
    bool in_arena() const noexcept { return (flags_ & detail::flag_in_arena) != 0; }

    bool as_bool() const
    {
        if (!is_bool())
            throw_type("expected bool, got ");
        return p_.u != 0;
    }

    std::int64_t as_integer() const
    {
        if (is_integer())
            return p_.i;
        if (is_uinteger() && p_.u <= static_cast<std::uint64_t>(INT64_MAX))
            return static_cast<std::int64_t>(p_.u);
        throw_type("expected integer, got ");
    }

    std::uint64_t as_uinteger() const
    {
        if (is_uinteger())
            return p_.u;
        if (is_integer() && p_.i >= 0)
            return static_cast<std::uint64_t>(p_.i);
        throw_type("expected uinteger, got ");
    }

    double as_number() const
    {
        if (is_float())
            return p_.d;
        if (is_integer())
            return static_cast<double>(p_.i);
        if (is_uinteger())
            return static_cast<double>(p_.u);
        throw_type("expected number, got ");
    }

    std::string_view as_string() const
    {
        if (!is_string())
            throw_type("expected string, got ");
        return string_view_unchecked();
    }

    JsonArray& as_array()
    {
        if (!is_array())
            throw_type("expected array, got ");
        return *p_.arr;
    }
    const JsonArray& as_array() const
    {
        if (!is_array())
            throw_type("expected array, got ");
        return *p_.arr;
    }

    JsonObject& as_object()
    {
        if (!is_object())
            throw_type("expected object, got ");
        return *p_.obj;
    }
    const JsonObject& as_object() const
    {
        if (!is_object())
            throw_type("expected object, got ");
        return *p_.obj;
    }

    JsonValue& at(std::size_t index);
    const JsonValue& at(std::size_t index) const;

    // Replaces the value of an existing member in place, else appends one.
    void set(std::string key, JsonValue value);

private:
    friend class detail::Parser;
    friend class detail::Writer;

    union Payload {
        std::uint64_t words[2];
        std::uint64_t u;
        std::int64_t i;
        double d;
        char s[16];
        const char* arena_str;
        std::string* heap_str;
        JsonArray* arr;
        JsonObject* obj;
    };

    static JsonValue make_array_in(MonotonicArena* arena);
    static JsonValue make_object_in(MonotonicArena* arena);
    // On a null value: make it an empty container.
    void init_array_in(MonotonicArena* arena);
    void init_object_in(MonotonicArena* arena);

    void init_string_in(const char* data, std::size_t n, MonotonicArena* arena)
    {
        if (n <= detail::inline_capacity) {
            detail::copy_small(p_.s, data, n);
            p_.s[n] = '\0';
            inline_len_ = static_cast<std::uint8_t>(n);
            return;
        }
        if (arena != nullptr && n <= UINT32_MAX) {
            char* bytes = static_cast<char*>(arena->try_allocate(n + 1, 1));
            if (bytes == nullptr)
                throw std::bad_alloc();
            std::memcpy(bytes, data, n);
            bytes[n] = '\0';
            p_.arena_str = bytes;
            set_arena_length(static_cast<std::uint32_t>(n));
            flags_ |= detail::flag_in_arena;
            inline_len_ = detail::out_of_line;
            return;
        }
        p_.heap_str = new std::string(data, n);
        inline_len_ = detail::out_of_line;
    }

    std::string_view string_view_unchecked() const noexcept
    {
        if (inline_len_ != detail::out_of_line)
            return std::string_view(p_.s, inline_len_);
        if (in_arena())
            return std::string_view(p_.arena_str, arena_length());
        return std::string_view(p_.heap_str->data(), p_.heap_str->size());
    }

    std::uint32_t arena_length() const noexcept
    {
        std::uint32_t n;
        std::memcpy(&n, arena_len_, sizeof n);
        return n;
    }
    void set_arena_length(std::uint32_t n) noexcept { std::memcpy(arena_len_, &n, sizeof n); }

    // Header bytes and payload as they are, the source left all zero
    // (null). Nothing in a value points into the value itself, so its bytes
    // can be copied whole.
    void take(JsonValue& other) noexcept
    {
        std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(JsonValue));
        std::memset(static_cast<void*>(&other), 0, sizeof(JsonValue));
    }

    void release() noexcept;

    // Most values are scalars or short strings: nothing to give back.
    bool owns_storage() const noexcept
    {
        return kind_ > static_cast<std::uint8_t>(Kind::String) ||
               (kind_ == static_cast<std::uint8_t>(Kind::String) && inline_len_ == detail::out_of_line);
    }

    [[noreturn]] void throw_type(const char* expected) const
    {
        throw TypeError(std::string(expected) + kind_name(kind_));
    }

    std::uint8_t kind_ = 0;
    std::uint8_t inline_len_ = 0;
    std::uint8_t flags_ = 0;
    // Length of an arena string; unaligned, directly after the flags byte.
    std::uint8_t arena_len_[4] = {0, 0, 0, 0};
    Payload p_{{0, 0}};
};

static_assert(sizeof(JsonValue) == 24, "a JSON value is 24 bytes");
static_assert(std::is_nothrow_move_constructible<JsonValue>::value, "moves never throw");

// Array body: the elements on the array's memory resource.
class JsonArray : public std::pmr::vector<JsonValue> {
public:
    using std::pmr::vector<JsonValue>::vector;
    explicit JsonArray(std::pmr::memory_resource* resource)
        : std::pmr::vector<JsonValue>(allocator_type(resource))
    {
    }
};

struct JsonMember {
    JsonMember(std::string k, JsonValue v) noexcept : key(std::move(k)), value(std::move(v)) {}
    // A member with a null value, its key copied from the bytes given.
    JsonMember(const char* k, std::size_t n) : key(k, n) {}
    JsonMember(const char* k, std::size_t n, JsonValue&& v) : key(k, n), value(std::move(v)) {}

    std::string key;
    JsonValue value;
};

namespace detail {

// Hash map from a member key to the member's position. Chained buckets over
// one entry array; the bucket count is a power of two and grows so that the
// load factor stays at most 1.0. An entry keeps the key's hash and the
// position; the key itself is read from the member at that position, which
// is the member's own key string. Entries and buckets come from the
// object's memory resource.
class KeyIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    using Members = std::pmr::vector<JsonMember>;

    KeyIndex(std::size_t bucket_hint, std::pmr::memory_resource* resource, const Members* members)
        : resource_(resource), members_(members)
    {
        std::size_t n = 8;
        while (n < bucket_hint)
            n *= 2;
        buckets_ = allocate_buckets(n);
        bucket_count_ = n;
    }

    ~KeyIndex()
    {
        resource_->deallocate(buckets_, bucket_count_ * sizeof(std::uint32_t), alignof(std::uint32_t));
        if (entries_ != nullptr)
            resource_->deallocate(entries_, capacity_ * sizeof(Entry), alignof(Entry));
    }

    KeyIndex(const KeyIndex&) = delete;
    KeyIndex& operator=(const KeyIndex&) = delete;

    std::size_t size() const noexcept { return size_; }
    std::size_t bucket_count() const noexcept { return bucket_count_; }
    float max_load_factor() const noexcept { return 1.0f; }

    // Forgets every entry; the buckets stay.
    void clear() noexcept
    {
        std::memset(buckets_, 0xFF, bucket_count_ * sizeof(std::uint32_t));
        size_ = 0;
    }

    void reserve(std::size_t n)
    {
        if (n > capacity_)
            grow_entries(n);
        while (n > bucket_count_)
            grow_buckets();
    }

    // Maps the key of the member at pos to pos; false when the key was
    // there already (pos replaces the old position).
    bool assign(std::size_t pos)
    {
        const std::string& key = member_key(pos);
        const std::uint64_t h = hash_key(key.data(), key.size());
        for (std::uint32_t i = buckets_[h & (bucket_count_ - 1)]; i != empty; i = entries_[i].next) {
            Entry& e = entries_[i];
            if (e.hash == h && equal(member_key(e.pos), key.data(), key.size())) {
                e.pos = static_cast<std::uint32_t>(pos);
                return false;
            }
        }
        if (size_ == capacity_)
            grow_entries(capacity_ < 8 ? 8 : 2 * capacity_);
        if (size_ + 1 > bucket_count_)
            grow_buckets();
        std::uint32_t& head = buckets_[h & (bucket_count_ - 1)];
        entries_[size_] = Entry{h, static_cast<std::uint32_t>(pos), head};
        head = static_cast<std::uint32_t>(size_);
        ++size_;
        return true;
    }

    // assign for the members at 0 to n - 1, in order, with room for them
    // already reserved.
    void assign_all(std::size_t n) noexcept
    {
        const JsonMember* members = members_->data();
        const std::size_t mask = bucket_count_ - 1;
        for (std::size_t pos = 0; pos < n; ++pos) {
            const std::string& key = members[pos].key;
            const std::uint64_t h = hash_key(key.data(), key.size());
            std::uint32_t& head = buckets_[h & mask];
            bool repeated = false;
            for (std::uint32_t i = head; i != empty; i = entries_[i].next) {
                Entry& e = entries_[i];
                if (e.hash == h && equal(members[e.pos].key, key.data(), key.size())) {
                    e.pos = static_cast<std::uint32_t>(pos);
                    repeated = true;
                    break;
                }
            }
            if (!repeated) {
                entries_[size_] = Entry{h, static_cast<std::uint32_t>(pos), head};
                head = static_cast<std::uint32_t>(size_);
                ++size_;
            }
        }
    }

    std::size_t find(std::string_view key) const noexcept
    {
        const std::uint64_t h = hash_key(key.data(), key.size());
        for (std::uint32_t i = buckets_[h & (bucket_count_ - 1)]; i != empty; i = entries_[i].next) {
            const Entry& e = entries_[i];
            if (e.hash == h && equal(member_key(e.pos), key.data(), key.size()))
                return e.pos;
        }
        return npos;
    }

private:
    static constexpr std::uint32_t empty = 0xFFFFFFFFu;

    struct Entry {
        std::uint64_t hash;
        std::uint32_t pos;
        std::uint32_t next;
    };

    const std::string& member_key(std::size_t pos) const noexcept;

    static bool equal(const std::string& a, const char* b, std::size_t n) noexcept
    {
        return a.size() == n && std::memcmp(a.data(), b, n) == 0;
    }

    std::uint32_t* allocate_buckets(std::size_t n)
    {
        auto* b = static_cast<std::uint32_t*>(resource_->allocate(n * sizeof(std::uint32_t), alignof(std::uint32_t)));
        std::memset(b, 0xFF, n * sizeof(std::uint32_t));
        return b;
    }

    void grow_buckets()
    {
        const std::size_t n = bucket_count_ * 2;
        std::uint32_t* b = allocate_buckets(n);
        resource_->deallocate(buckets_, bucket_count_ * sizeof(std::uint32_t), alignof(std::uint32_t));
        buckets_ = b;
        bucket_count_ = n;
        for (std::size_t i = 0; i < size_; ++i) {
            std::uint32_t& head = buckets_[entries_[i].hash & (n - 1)];
            entries_[i].next = head;
            head = static_cast<std::uint32_t>(i);
        }
    }

    void grow_entries(std::size_t n)
    {
        auto* e = static_cast<Entry*>(resource_->allocate(n * sizeof(Entry), alignof(Entry)));
        if (entries_ != nullptr) {
            if (size_ != 0)
                std::memcpy(static_cast<void*>(e), entries_, size_ * sizeof(Entry));
            resource_->deallocate(entries_, capacity_ * sizeof(Entry), alignof(Entry));
        }
        entries_ = e;
        capacity_ = n;
    }

    std::pmr::memory_resource* resource_;
    const Members* members_;
    std::uint32_t* buckets_ = nullptr;
    std::size_t bucket_count_ = 0;
    Entry* entries_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

inline const std::string& KeyIndex::member_key(std::size_t pos) const noexcept { return (*members_)[pos].key; }

} // namespace detail

// Object body: members in insertion order, and a key index once the object
// has more than 15 members and is searched.
class JsonObject {
public:
    using Members = std::pmr::vector<JsonMember>;
    using iterator = Members::iterator;
    using const_iterator = Members::const_iterator;

    // Objects of up to this many members are searched linearly.
    static constexpr std::size_t linear_limit = 15;

    explicit JsonObject(std::pmr::memory_resource* resource) : members_(Members::allocator_type(resource)) {}

    JsonObject(const JsonObject&) = delete;
    JsonObject& operator=(const JsonObject&) = delete;

    ~JsonObject() { delete index_; }

    std::size_t size() const noexcept { return members_.size(); }
    bool empty() const noexcept { return members_.empty(); }
    // Member keys must not be changed through these: the index points at them.
    iterator begin() noexcept { return members_.begin(); }
    iterator end() noexcept { return members_.end(); }
    const_iterator begin() const noexcept { return members_.begin(); }
    const_iterator end() const noexcept { return members_.end(); }
    const JsonMember& operator[](std::size_t i) const noexcept { return members_[i]; }
    const Members& members() const noexcept { return members_; }
    std::pmr::memory_resource* resource() const noexcept { return members_.get_allocator().resource(); }
    bool has_index() const noexcept { return index_ != nullptr; }

    const JsonValue* find(std::string_view key) const
    {
        const std::size_t pos = position(key);
        return pos == npos ? nullptr : &members_[pos].value;
    }
    JsonValue* find(std::string_view key)
    {
        const std::size_t pos = position(key);
        return pos == npos ? nullptr : &members_[pos].value;
    }

    void set(std::string key, JsonValue value)
    {
        std::size_t pos;
        if (members_.size() <= linear_limit) {
            pos = linear_position(key);
        } else {
            if (index_ == nullptr)
                rebuild_index();
            pos = index_->find(key);
        }
        if (pos != npos) {
            members_[pos].value = std::move(value);
            return;
        }
        append(std::move(key), std::move(value));
    }

    bool erase(std::string_view key)
    {
        std::size_t pos;
        if (members_.size() > linear_limit && index_ != nullptr) {
            pos = index_->find(key);
            if (pos == npos)
                return false;
        } else {
            pos = linear_position(key);
            if (pos == npos)
                return false;
        }
        members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(pos));
        if (index_ != nullptr)
            rebuild_index();
        return true;
    }

    // Builds the index, or refills an existing one.
    void rebuild_index() const
    {
        if (index_ != nullptr)
            index_->clear();
        else
            index_ = new detail::KeyIndex(2 * members_.size(), resource(), &members_);
        index_->reserve(members_.size());
        index_->assign_all(members_.size());
    }

    // Keeps only the last occurrence of each key; survivors keep their order.
    void remove_duplicates()
    {
        const std::size_t n = members_.size();
        if (n < 2)
            return;
        if (n <= linear_limit) {
            // Length and first and last byte decide most comparisons.
            std::uint32_t sig[linear_limit];
            for (std::size_t i = 0; i < n; ++i)
                sig[i] = signature(members_[i].key);
            bool any = false;
            for (std::size_t i = 0; i + 1 < n && !any; ++i)
                for (std::size_t j = i + 1; j < n; ++j)
                    if (sig[i] == sig[j] && members_[i].key == members_[j].key) {
                        any = true;
                        break;
                    }
            if (!any)
                return;
            std::size_t i = 0;
            while (i + 1 < members_.size()) {
                bool repeated = false;
                const std::string& k = members_[i].key;
                for (std::size_t j = i + 1; j < members_.size(); ++j) {
                    if (members_[j].key.size() == k.size() &&
                        std::memcmp(members_[j].key.data(), k.data(), k.size()) == 0) {
                        repeated = true;
                        break;
                    }
                }
                if (repeated)
                    members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(i));
                else
                    ++i;
            }
            if (index_ != nullptr)
                rebuild_index();
            return;
        }
        rebuild_index();
        if (index_->size() == n)
            return;
        // Decide first, move afterwards: moving members invalidates the views.
        std::vector<char> keep(n);
        for (std::size_t i = 0; i < n; ++i)
            keep[i] = index_->find(std::string_view(members_[i].key)) == i;
        std::size_t w = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!keep[i])
                continue;
            if (w != i) {
                members_[w].key = std::move(members_[i].key);
                members_[w].value = std::move(members_[i].value);
            }
            ++w;
        }
        members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(w), members_.end());
        rebuild_index();
    }

    void reserve(std::size_t n) { members_.reserve(n); }

private:
    friend class JsonValue;
    friend class detail::Parser;
    friend struct detail::ObjectBuilder;

    static constexpr std::size_t npos = detail::KeyIndex::npos;

    static std::uint32_t signature(const std::string& k) noexcept
    {
        if (k.empty())
            return 0;
        return (static_cast<std::uint32_t>(k.size()) << 16) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(k.front())) << 8) |
               static_cast<unsigned char>(k.back());
    }

    std::size_t linear_position(std::string_view key) const noexcept
    {
        for (std::size_t i = 0; i < members_.size(); ++i) {
            const std::string& k = members_[i].key;
            if (k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0)
                return i;
        }
        return npos;
    }

    std::size_t position(std::string_view key) const
    {
        if (members_.size() <= linear_limit)
            return linear_position(key);
        if (index_ == nullptr)
            rebuild_index();
        return index_->find(key);
    }

    void append(std::string key, JsonValue value)
    {
        const JsonMember* before = members_.data();
        members_.emplace_back(std::move(key), std::move(value));
        if (index_ == nullptr)
            return;
        if (members_.data() == before)
            index_->assign(members_.size() - 1);
        else
            rebuild_index();
    }

    // Appends without looking for the key; the parser checks duplicates itself.
    void append_unchecked(std::string&& key, JsonValue&& value)
    {
        members_.emplace_back(std::move(key), std::move(value));
    }

    Members members_;
    mutable detail::KeyIndex* index_ = nullptr;
};

namespace detail {
// Appends members without looking for an earlier one with the same key; the
// caller deals with duplicates (remove_duplicates).
struct ObjectBuilder {
    static void append(JsonObject& object, std::string key, JsonValue value)
    {
        object.append_unchecked(std::move(key), std::move(value));
    }
};
} // namespace detail

inline void JsonValue::init_array_in(MonotonicArena* arena)
{
    if (arena != nullptr) {
        void* mem = arena->try_allocate(sizeof(JsonArray), alignof(JsonArray));
        if (mem == nullptr)
            throw std::bad_alloc();
        p_.arr = new (mem) JsonArray(arena);
        flags_ = detail::flag_in_arena;
    } else {
        p_.arr = new JsonArray(std::pmr::new_delete_resource());
    }
    kind_ = static_cast<std::uint8_t>(Kind::Array);
}

inline void JsonValue::init_object_in(MonotonicArena* arena)
{
    if (arena != nullptr) {
        void* mem = arena->try_allocate(sizeof(JsonObject), alignof(JsonObject));
        if (mem == nullptr)
            throw std::bad_alloc();
        p_.obj = new (mem) JsonObject(arena);
        flags_ = detail::flag_in_arena;
    } else {
        p_.obj = new JsonObject(std::pmr::new_delete_resource());
    }
    kind_ = static_cast<std::uint8_t>(Kind::Object);
}

inline JsonValue JsonValue::make_array_in(MonotonicArena* arena)
{
    JsonValue v;
    v.init_array_in(arena);
    return v;
}

inline JsonValue JsonValue::make_object_in(MonotonicArena* arena)
{
    JsonValue v;
    v.init_object_in(arena);
    return v;
}

inline JsonValue::JsonValue(const JsonValue& other)
{
    switch (other.kind()) {
    case Kind::String:
        kind_ = other.kind_;
        if (other.inline_len_ != detail::out_of_line) {
            inline_len_ = other.inline_len_;
            p_ = other.p_;
        } else {
            const std::string_view s = other.string_view_unchecked();
            init_string_in(s.data(), s.size(), current_arena);
        }
        break;
    case Kind::Array: {
        JsonValue copy = make_array_in(current_arena);
        const JsonArray& src = *other.p_.arr;
        JsonArray& dst = *copy.p_.arr;
        dst.reserve(src.size());
        for (const JsonValue& e : src)
            dst.push_back(JsonValue(e));
        take(copy);
        break;
    }
    case Kind::Object: {
        JsonValue copy = make_object_in(current_arena);
        const JsonObject& src = *other.p_.obj;
        JsonObject& dst = *copy.p_.obj;
        dst.members_.reserve(src.size());
        for (const JsonMember& m : src)
            dst.members_.emplace_back(std::string(m.key), JsonValue(m.value));
        take(copy);
        break;
    }
    default:
        // Scalars (and unknown kinds) carry nothing outside the value.
        kind_ = other.kind_;
        p_ = other.p_;
        break;
    }
}

inline void JsonValue::release() noexcept
{
    switch (kind()) {
    case Kind::String:
        if (inline_len_ == detail::out_of_line && !in_arena())
            delete p_.heap_str;
        break;
    case Kind::Array:
        if (in_arena())
            p_.arr->~JsonArray();
        else
            delete p_.arr;
        break;
    case Kind::Object:
        if (in_arena())
            p_.obj->~JsonObject();
        else
            delete p_.obj;
        break;
    default:
        break;
    }
}

inline JsonValue& JsonValue::at(std::size_t index)
{
    JsonArray& a = as_array();
    if (index >= a.size())
        throw OutOfRangeError("array index " + std::to_string(index) + " out of range (size=" +
                              std::to_string(a.size()) + ")");
    return a[index];
}

inline const JsonValue& JsonValue::at(std::size_t index) const
{
    const JsonArray& a = as_array();
    if (index >= a.size())
        throw OutOfRangeError("array index " + std::to_string(index) + " out of range (size=" +
                              std::to_string(a.size()) + ")");
    return a[index];
}

inline void JsonValue::set(std::string key, JsonValue value)
{
    as_object().set(std::move(key), std::move(value));
}

} // namespace yajson
