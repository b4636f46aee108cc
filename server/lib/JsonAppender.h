#pragma once
// Writes a JSON text by appending, for messages whose shape the code knows:
// every member goes straight to the end of one string, where a JsonWriter
// child finds its place again from the root for every member and the whole
// tree is serialized afterwards. For the same calls the text is the one
// JsonWriter::to_string() gives (compact, strings escaped alike), as long
// as no object is given the same key twice (JsonWriter would keep the first
// place of such a key, this writes both).
//
// A writer is an open object or array of the text; add_object/add_array
// open a nested one, written until that child is destroyed, when its
// bracket is closed. Members are written in call order, so a parent must
// not be written to while a child of it is open.

#include <cstddef>
#include <string>
#include <string_view>

namespace rrm {

class JsonAppender {
public:
    // Opens the message header as JsonWriter(service, cmd, version) writes
    // it ("service", "version" ("2.4" for "rrm" when none is given), "cmd")
    // at the end of `out`; the object is closed by the destructor.
    JsonAppender(std::string& out, const char* service, const char* cmd, const char* version);
    ~JsonAppender();
    JsonAppender(JsonAppender&& other) noexcept;
    JsonAppender& operator=(JsonAppender&&) = delete;
    JsonAppender(const JsonAppender&) = delete;
    JsonAppender& operator=(const JsonAppender&) = delete;

    // In an array writer the key is ignored.
    JsonAppender add_array(const char* key);
    JsonAppender add_object(const char* key);
    JsonAppender& add_int(const char* key, long value);
    // A null value is written as an empty string, as JsonWriter does.
    JsonAppender& add_string(const char* key, const char* value);
    // A value that is JSON text already, written as it is.
    JsonAppender& add_json(const char* key, std::string_view json);

private:
    JsonAppender(std::string& out, bool is_array);
    // Puts the separator and, in an object, the key of the next member at
    // the start of `head` (room for 128 bytes) and gives their length; a
    // key that needs escapes is appended at once instead (length 0).
    std::size_t begin_member(char* head, const char* key);

    std::string* out_;
    bool is_array_;
    bool empty_ = true;
};

// Appends a text as JSON writes it: quoted, with quotation marks,
// backslashes and control characters escaped (other bytes as they are), up
// to its first zero byte, as a document writer takes a C string.
void append_json_text(std::string& out, const char* text);

}  // namespace rrm
