#include "JsonWriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace rrm {

namespace {

yajson::JsonValue make_string(const char* s)
{
    return yajson::JsonValue::make_string(s ? std::string_view(s) : std::string_view());
}

std::string serialize(const yajson::JsonValue& v, int indent)
{
    yajson::SerializeOptions options;
    options.indent = indent;
    return yajson::serialize(options, v);
}

const char kSlotMissing[] =
    "found != nullptr && \"JsonWriter child slot must exist (see nested ctor)\"";

} // namespace

JsonWriter::JsonWriter(const char* version)
{
    // A new root has no arena yet: its document starts on the heap, whatever
    // arena the thread has installed.
    yajson::ArenaScope scope(nullptr);
    root_ = yajson::JsonValue::make_object();
    if (version != nullptr && *version != '\0')
        root_.set("version", make_string(version));
}

JsonWriter::JsonWriter(const char* service, const char* cmd, const char* version)
    : JsonWriter(version)
{
    const bool no_version = version == nullptr || *version == '\0';
    yajson::ArenaScope scope(nullptr);
    if (service != nullptr && *service != '\0') {
        root_.set("service", make_string(service));
        if (no_version && std::strcmp(service, "rrm") == 0)
            root_.set("version", make_string("2.4"));
    }
    if (cmd != nullptr && *cmd != '\0')
        root_.set("cmd", make_string(cmd));
}

JsonWriter::JsonWriter(bool is_array, JsonWriter& parent, const char* key)
    : is_array_(is_array), parent_(&parent), key_(key ? key : "")
{
    yajson::ArenaScope scope(parent.arena());
    yajson::JsonValue container =
        is_array ? yajson::JsonValue::make_array() : yajson::JsonValue::make_object();
    yajson::JsonValue& p = parent.resolve();
    if (parent.is_array_) {
        auto& elements = p.as_array();
        elements.push_back(std::move(container));
        index_ = static_cast<std::int32_t>(elements.size() - 1);
    } else {
        p.set(key_, std::move(container));
    }
}

JsonWriter::JsonWriter(JsonWriter&& other) noexcept
    : arena_(std::move(other.arena_)),
      root_(std::move(other.root_)),
      is_array_(other.is_array_),
      parent_(other.parent_),
      key_(std::move(other.key_)),
      index_(other.index_)
{
    other.parent_ = nullptr;
    other.key_.clear();
}

JsonWriter& JsonWriter::operator=(JsonWriter&& other) noexcept
{
    if (this == &other)
        return *this;
    // Our document may live in our arena: both go, in that order. The
    // incoming document lives on the heap or in the arena that comes with it.
    root_ = yajson::JsonValue();
    arena_.reset();

    arena_ = std::move(other.arena_);
    root_ = std::move(other.root_);
    is_array_ = other.is_array_;
    parent_ = other.parent_;
    key_ = std::move(other.key_);
    index_ = other.index_;
    compact_.clear();
    pretty_.clear();

    other.parent_ = nullptr;
    other.key_.clear();
    return *this;
}

JsonWriter::~JsonWriter()
{
    key_.clear();
    compact_.clear();
    pretty_.clear();
    // The document may live in the arena: it goes first.
    root_ = yajson::JsonValue();
    arena_.reset();
}

JsonWriter JsonWriter::add_array(const char* key)
{
    return JsonWriter(true, *this, key);
}

JsonWriter JsonWriter::add_object(const char* key)
{
    return JsonWriter(false, *this, key);
}

// The caller has this writer's arena installed.
JsonWriter& JsonWriter::add_value(const char* key, yajson::JsonValue&& item)
{
    yajson::JsonValue& v = resolve();
    if (is_array_) {
        v.as_array().push_back(std::move(item));
    } else {
        if (key == nullptr)
            throw std::logic_error("basic_string: construction from null is not valid");
        v.set(std::string(key), std::move(item));
    }
    return *this;
}

JsonWriter& JsonWriter::add_int(const char* key, int value)
{
    yajson::ArenaScope scope(arena());
    return add_value(key, yajson::JsonValue(static_cast<std::int64_t>(value)));
}

JsonWriter& JsonWriter::add_int(const char* key, std::optional<int> value)
{
    if (value)
        add_int(key, *value);
    return *this;
}

JsonWriter& JsonWriter::add_string(const char* key, const char* value)
{
    yajson::ArenaScope scope(arena());
    return add_value(key, make_string(value));
}

const char* JsonWriter::to_string() const
{
    compact_ = serialize(resolve(), -1);
    return compact_.c_str();
}

const char* JsonWriter::to_pretty_string() const
{
    pretty_ = serialize(resolve(), 4);
    return pretty_.c_str();
}

bool JsonWriter::is_null() const
{
    return parent_ == nullptr && root_.is_null();
}

yajson::JsonValue& JsonWriter::resolve()
{
    return const_cast<yajson::JsonValue&>(static_cast<const JsonWriter&>(*this).resolve());
}

const yajson::JsonValue& JsonWriter::resolve() const
{
    if (parent_ == nullptr)
        return root_;
    const yajson::JsonValue& p = static_cast<const JsonWriter*>(parent_)->resolve();
    if (index_ >= 0)
        return p.at(static_cast<std::size_t>(index_));
    const yajson::JsonValue* found = nullptr;
    if (p.is_object())
        found = p.as_object().find(key_);
    // A vanished object slot means a live child's path was overwritten; that
    // is the caller's bug, reported as such instead of taking the server down.
    if (found == nullptr)
        throw std::logic_error(kSlotMissing);
    return *found;
}

yajson::MonotonicArena* JsonWriter::arena() const
{
    const JsonWriter* root = this;
    while (root->parent_ != nullptr)
        root = root->parent_;
    return root->arena_.get();
}

void JsonWriter::reserve(std::size_t first_block)
{
    if (parent_ != nullptr || arena_)
        return;
    auto arena = std::make_unique<yajson::MonotonicArena>(first_block);

    // Carry the document over into the arena; the heap copy goes when the
    // copy replaces it.
    yajson::JsonValue copy;
    {
        yajson::ArenaScope scope(arena.get());
        copy = yajson::JsonValue::make_object();
        if (root_.is_object()) {
            for (const auto& m : root_.as_object())
                copy.set(m.key, yajson::JsonValue(m.value));
        }
    }
    root_ = std::move(copy);
    arena_ = std::move(arena);
}

} // namespace rrm
