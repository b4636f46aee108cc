// Parses arbitrary text, serializes it, parses the text again and checks
// that serializing gives the same text again. The first two bytes choose the
// options; the rest is the JSON text.

#include <yajson/yajson.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void mismatch(const char* what, const std::string& a, const std::string& b)
{
    std::fprintf(stderr, "%s\n--- first\n%s\n--- second\n%s\n", what, a.c_str(), b.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t parse_bits = 0x80; // the server's options: duplicate keys allowed
    std::uint8_t write_bits = 0;
    if (size >= 2) {
        parse_bits = data[0];
        write_bits = data[1];
        data += 2;
        size -= 2;
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    yajson::ParseOptions po;
    po.allow_comments = parse_bits & 0x01;
    po.allow_trailing_commas = parse_bits & 0x02;
    po.allow_single_quotes = parse_bits & 0x04;
    po.allow_unquoted_keys = parse_bits & 0x08;
    po.allow_nan_infinity = parse_bits & 0x10;
    po.allow_hex_numbers = parse_bits & 0x20;
    po.allow_control_characters = parse_bits & 0x40;
    po.allow_duplicate_keys = parse_bits & 0x80;

    yajson::SerializeOptions so;
    const int indents[4] = {-1, 0, 2, 4};
    so.indent = indents[write_bits & 0x03];
    so.escape_non_ascii = write_bits & 0x04;
    so.write_nan_infinity = write_bits & 0x08;
    so.sort_keys = write_bits & 0x10;
    const bool use_arena = write_bits & 0x20;

    yajson::MonotonicArena arena(256);
    yajson::JsonValue first;
    try {
        yajson::ArenaScope scope(use_arena ? &arena : yajson::current_arena);
        first = yajson::detail::parse_document(text, po);
    } catch (const yajson::ParseError& e) {
        // The never-throwing entry point agrees on the code.
        const yajson::ParseResult r = yajson::parse(text, po);
        if (r.error != e.code() || !r.value.is_null())
            std::abort();
        if (e.line() < 1 || e.column() < 1 || e.offset() > size)
            std::abort();
        return 0;
    }

    const std::string t1 = yajson::serialize(so, first);
    const yajson::JsonValue copy(first); // deep copy, heap-based
    first = yajson::JsonValue();
    if (yajson::serialize(so, copy) != t1)
        mismatch("copy serializes differently", t1, yajson::serialize(so, copy));

    // What the serializer writes must parse with the plain options, plus
    // named non-finite numbers when it wrote them, and duplicate keys: a
    // key with invalid UTF-8 written as \ufffd can meet its twin.
    yajson::ParseOptions again;
    again.allow_duplicate_keys = true;
    again.allow_nan_infinity = so.write_nan_infinity;
    const yajson::ParseResult r2 = yajson::parse(t1, again);
    if (r2.error)
        mismatch(("serialized text does not parse: " + r2.error.message()).c_str(), t1, "");
    const std::string t2 = yajson::serialize(so, r2.value);
    if (!so.escape_non_ascii) {
        if (t1 != t2)
            mismatch("texts differ", t1, t2);
        return 0;
    }
    // With \u escapes invalid UTF-8 collapses to U+FFFD once; from then on
    // the text is stable.
    const yajson::ParseResult r3 = yajson::parse(t2, again);
    if (r3.error)
        mismatch("second text does not parse", t2, "");
    const std::string t3 = yajson::serialize(so, r3.value);
    if (t2 != t3)
        mismatch("texts differ", t2, t3);
    return 0;
}
