#include "JsonReader.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

namespace rrm {

namespace {

const char kEmpty[] = "";
const char kNullText[] = "null";

// Puts `arena` in place as the thread's current arena for one parse and puts
// the previous one back on every way out, exceptions included.
class CurrentArena {
public:
    explicit CurrentArena(yajson::MonotonicArena* arena) : saved_(yajson::current_arena)
    {
        yajson::current_arena = arena;
    }
    ~CurrentArena() { yajson::current_arena = saved_; }
    CurrentArena(const CurrentArena&) = delete;
    CurrentArena& operator=(const CurrentArena&) = delete;

private:
    yajson::MonotonicArena* saved_;
};

// Truncation to the low 32 bits, as the wire format has always been read.
int low32(std::uint64_t v)
{
    return static_cast<int>(static_cast<std::uint32_t>(v));
}

int value_to_int(const yajson::JsonValue& v)
{
    switch (v.kind()) {
    case yajson::Kind::Integer:
        return low32(static_cast<std::uint64_t>(v.as_integer()));
    case yajson::Kind::UInteger:
        return low32(v.as_uinteger());
    case yajson::Kind::Bool:
        return v.as_bool() ? 1 : 0;
    case yajson::Kind::String:
        return json_string_to_int(v.as_string());
    default:
        return 0;
    }
}

} // namespace

int json_string_to_int(std::string_view text)
{
    if (text.empty())
        return 0;
    // strtol needs a terminated copy; a NUL inside the text then ends the
    // conversion early and the whole-text check below rejects it.
    std::string copy(text);
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(copy.c_str(), &end, 10);
    if (end != copy.c_str() + copy.size() || errno == ERANGE)
        return 0;
    return low32(static_cast<std::uint64_t>(v));
}

JsonReader::JsonReader(const char* text)
{
    parse(text);
}

JsonReader::JsonReader(const char* text, yajson::MonotonicArena* arena)
{
    CurrentArena scope(arena);
    parse(text);
}

JsonReader::JsonReader(const char* text, std::size_t arena_size) : JsonReader(text, arena_size, 0)
{
}

JsonReader::JsonReader(const char* text, std::size_t arena_size, std::size_t arena_limit)
    : arena_(std::make_unique<yajson::MonotonicArena>(arena_size == 0 ? 4096 : arena_size))
{
    arena_->set_limit(arena_limit);
    CurrentArena scope(arena_.get());
    parse(text);
}

JsonReader::JsonReader(int fd)
{
    std::string data;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            data.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0)
            break;
        // A signal arriving while the file is read must not make it look
        // empty or broken.
        if (errno == EINTR)
            continue;
        return; // read error: whatever came before is not a document
    }
    if (data.empty())
        return;
    parse(data.c_str());
}

JsonReader::JsonReader(const yajson::JsonValue* node) : node_(node) {}

JsonReader::JsonReader(JsonReader&& other) noexcept
    : arena_(std::move(other.arena_)),
      root_(std::move(other.root_)),
      node_(other.node_ == &other.root_ ? &root_ : other.node_)
{
    other.node_ = nullptr;
}

JsonReader::JsonReader(const JsonReader&)
{
    throw std::logic_error("Copy JsonReader not allowed\n");
}

void JsonReader::parse(const char* text)
{
    if (text == nullptr)
        return;
    yajson::ParseOptions options;
    options.allow_duplicate_keys = true;
    options.max_depth = 0;
    try {
        yajson::JsonValue value = yajson::detail::parse_document(std::string_view(text), options);
        root_ = std::move(value);
        node_ = &root_;
    } catch (...) {
        // A document that does not parse is simply absent; callers test
        // is_null where the difference matters.
        node_ = nullptr;
    }
}

const yajson::JsonValue* JsonReader::member(const char* key) const
{
    if (node_ == nullptr || key == nullptr || !node_->is_object())
        return nullptr;
    return node_->as_object().find(std::string_view(key));
}

const yajson::JsonValue* JsonReader::element(int index) const
{
    if (node_ == nullptr || !node_->is_array() || index < 0)
        return nullptr;
    const auto& arr = node_->as_array();
    if (static_cast<std::size_t>(index) >= arr.size())
        return nullptr;
    return &arr[static_cast<std::size_t>(index)];
}

bool JsonReader::is_null() const
{
    return node_ == nullptr || node_->is_null();
}

std::size_t JsonReader::arena_bytes() const
{
    return arena_ ? arena_->total() : 0;
}

bool JsonReader::arena_limit_reached() const
{
    return arena_ && arena_->limit_reached();
}

bool JsonReader::is_object() const
{
    return node_ != nullptr && node_->is_object();
}

bool JsonReader::is_array() const
{
    return node_ != nullptr && node_->is_array();
}

int JsonReader::size() const
{
    if (node_ == nullptr || !node_->is_array())
        return 0;
    return static_cast<int>(node_->as_array().size());
}

bool JsonReader::has(const char* key) const
{
    return member(key) != nullptr;
}

JsonReader JsonReader::child(const char* key) const
{
    return JsonReader(member(key));
}

JsonReader JsonReader::child(int index) const
{
    return JsonReader(element(index));
}

int JsonReader::get_int(const char* key) const
{
    const yajson::JsonValue* v = member(key);
    return v ? value_to_int(*v) : 0;
}

int JsonReader::get_int(int index) const
{
    const yajson::JsonValue* v = element(index);
    return v ? value_to_int(*v) : 0;
}

std::optional<int> JsonReader::try_get_int(const char* key) const
{
    const yajson::JsonValue* v = member(key);
    if (v == nullptr)
        return std::nullopt;
    switch (v->kind()) {
    case yajson::Kind::Integer:
    case yajson::Kind::UInteger:
        return value_to_int(*v);
    case yajson::Kind::Float:
        return 0;
    default:
        return std::nullopt;
    }
}

const char* JsonReader::get_string(const char* key) const
{
    const yajson::JsonValue* v = member(key);
    if (v == nullptr || !v->is_string())
        return kEmpty;
    return v->as_string().data();
}

std::string_view JsonReader::get_string_view(const char* key) const
{
    const yajson::JsonValue* v = member(key);
    if (v == nullptr || !v->is_string())
        return std::string_view();
    return v->as_string();
}

const char* JsonReader::get_string(int index) const
{
    const yajson::JsonValue* v = element(index);
    if (v == nullptr || !v->is_string())
        return kEmpty;
    return v->as_string().data();
}

const char* JsonReader::to_string() const
{
    return to_string_view().data();
}

std::string_view JsonReader::to_string_view() const
{
    if (is_null())
        return std::string_view(kNullText, sizeof kNullText - 1);
    yajson::SerializeOptions options;
    options.indent = -1;
    text_ = yajson::serialize(options, *node_);
    return text_;
}

} // namespace rrm
