#pragma once

#include <yajson/yajson.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace rrm {

// Lenient string-to-int used by JsonReader::get_int: base-10 strtol that must
// consume the whole text; anything else (empty, trailing bytes, hex, fractions,
// long overflow, embedded NUL) reads as 0. In-range long values that do not fit
// an int keep their low 32 bits.
int json_string_to_int(std::string_view text);

// A parsed JSON document, or a view of one value inside another reader's
// document, or nothing. Every accessor is lenient: absent members, wrong kinds
// and bad indexes read as 0, "" or an empty reader, so accesses can be chained
// without checks. A text that does not parse gives an empty reader.
//
// Not thread-safe, not even the const accessors (to_string keeps its text in
// the reader, and a first lookup in a large object builds its key index).
class JsonReader {
public:
    // Parses into the thread's current arena, or the heap when none is set.
    explicit JsonReader(const char* text);
    // Parses into `arena` (not owned; it must outlive the reader).
    JsonReader(const char* text, yajson::MonotonicArena* arena);
    // Parses into an arena owned by the reader; its first block is 4096 bytes
    // for 0, else max(arena_size, 256).
    JsonReader(const char* text, std::size_t arena_size);
    // The same with an arena that may take at most `arena_limit` bytes (0:
    // no limit): a document that needs more is not parsed to its end and
    // the reader is empty (arena_limit_reached tells why).
    JsonReader(const char* text, std::size_t arena_size, std::size_t arena_limit);
    // Reads the descriptor to its end and parses what was read. The descriptor
    // is neither closed nor repositioned; a read error gives an empty reader.
    explicit JsonReader(int fd);
    // A view of a value owned elsewhere; null makes an empty reader.
    explicit JsonReader(const yajson::JsonValue* node);

    JsonReader(JsonReader&& other) noexcept;
    // Documents are never shared by copy: always throws std::logic_error.
    JsonReader(const JsonReader& other);
    JsonReader& operator=(const JsonReader&) = delete;
    JsonReader& operator=(JsonReader&&) = delete;
    ~JsonReader() = default;

    // Bytes the reader's own arena took from malloc (0 without one).
    std::size_t arena_bytes() const;
    bool arena_limit_reached() const;
    bool is_null() const;
    bool is_object() const;
    bool is_array() const;
    int size() const;
    bool has(const char* key) const;

    JsonReader child(const char* key) const;
    JsonReader child(int index) const;

    int get_int(const char* key) const;
    int get_int(int index) const;
    std::optional<int> try_get_int(const char* key) const;

    // Never null; points into the document (or at a static "") and lives as
    // long as the document's owner.
    const char* get_string(const char* key) const;
    const char* get_string(int index) const;
    // The same text with its full length: a string member that holds a NUL
    // byte (written \u0000 in the JSON text) is not cut at it.
    std::string_view get_string_view(const char* key) const;

    // Compact text of the value; valid until the next to_string or
    // to_string_view on this reader, or until it is moved or destroyed.
    const char* to_string() const;
    std::string_view to_string_view() const;

private:
    void parse(const char* text);
    const yajson::JsonValue* member(const char* key) const;
    const yajson::JsonValue* element(int index) const;

    std::unique_ptr<yajson::MonotonicArena> arena_;
    yajson::JsonValue root_;
    const yajson::JsonValue* node_ = nullptr;
    mutable std::string text_;
};

} // namespace rrm
