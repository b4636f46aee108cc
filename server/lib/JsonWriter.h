#pragma once

#include <yajson/yajson.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace rrm {

// Builds a JSON document. A root writer holds an object; child writers made by
// add_array / add_object write into a nested container of their parent. A
// child keeps no pointer into the document, only its path (parent writer, key,
// index), and finds its slot again on every operation, so growing the parent
// never invalidates it. A child is valid while every writer on its path stays
// alive at the same address.
//
// Where the values live: a root writer that called reserve() carves its own
// document (and only that) out of an arena it owns, which goes with the
// document when the writer is destroyed, assigned or moved from; every other
// writer keeps its document on the heap. A writer never leaves an arena
// installed on its thread between calls, so whatever else the thread builds
// (other writers, parsed readers queued for other threads) never lands in a
// writer's arena, and writers may be made, moved and destroyed in any order.
class JsonWriter {
public:
    // Root writer holding an empty object; a non-empty version becomes the
    // first member "version".
    explicit JsonWriter(const char* version);
    // Message header: "service", "cmd" and the version ("2.4" for the service
    // "rrm" when none is given).
    JsonWriter(const char* service, const char* cmd, const char* version);
    // Child writer for a new empty array or object under `key` of `parent`
    // (appended when the parent is an array writer).
    JsonWriter(bool is_array, JsonWriter& parent, const char* key);

    JsonWriter(JsonWriter&& other) noexcept;
    JsonWriter& operator=(JsonWriter&& other) noexcept;
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;
    ~JsonWriter();

    JsonWriter add_array(const char* key);
    JsonWriter add_object(const char* key);

    // In an array writer the key is ignored and the value appended; in an
    // object writer an existing member keeps its place and takes the value.
    JsonWriter& add_int(const char* key, int value);
    JsonWriter& add_int(const char* key, std::optional<int> value);
    JsonWriter& add_string(const char* key, const char* value);

    // Compact / 4-space indented text of this writer's value (a child gives its
    // own subtree); valid until the next call of the same function, or until
    // the writer is moved or destroyed.
    const char* to_string() const;
    const char* to_pretty_string() const;

    // True only for a moved-from root writer.
    bool is_null() const;

    yajson::JsonValue& resolve();
    const yajson::JsonValue& resolve() const;

    // Gives a root writer an arena of its own (first block of first_block
    // bytes, at least 256) and moves its document into it; later values of
    // the document, added through this writer or its children, come from it
    // too. A child writer, or a root that already has one, is unchanged.
    void reserve(std::size_t first_block);

    // The arena of this writer's document (a child's root's), or null for a
    // heap document. Code that builds values for the document directly
    // through resolve() installs it meanwhile:
    //     yajson::ArenaScope scope(writer.arena());
    yajson::MonotonicArena* arena() const;

private:
    // Appends to an array writer, sets member key of an object writer.
    JsonWriter& add_value(const char* key, yajson::JsonValue&& item);

    // Declared before root_: the document is destroyed before its arena.
    std::unique_ptr<yajson::MonotonicArena> arena_;
    yajson::JsonValue root_;
    bool is_array_ = false;
    mutable std::string compact_;
    mutable std::string pretty_;
    JsonWriter* parent_ = nullptr;
    std::string key_;
    std::int32_t index_ = -1;
};

} // namespace rrm
