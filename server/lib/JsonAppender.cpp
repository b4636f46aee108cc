#include "JsonAppender.h"

#include <yajson/scan.h>

#include <charconv>
#include <cstring>
#include <stdexcept>

namespace rrm {

void append_json_text(std::string& out, const char* text)
{
    const char* p = text;
    const char* end = p + std::strlen(p);
    out += '"';
    while (p < end) {
        const char* stop = yajson::detail::scan_string(p, end, '"', true);
        out.append(p, static_cast<std::size_t>(stop - p));
        if (stop == end)
            break;
        const unsigned char c = static_cast<unsigned char>(*stop);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case 0x08: out += "\\b"; break;
        case 0x09: out += "\\t"; break;
        case 0x0A: out += "\\n"; break;
        case 0x0C: out += "\\f"; break;
        case 0x0D: out += "\\r"; break;
        default: {
            static const char hex[] = "0123456789abcdef";
            const char escaped[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
            out.append(escaped, sizeof escaped);
        }
        }
        p = stop + 1;
    }
    out += '"';
}

namespace {

// Room for the head of a member (separator, key) with a number or a short
// text, put together on the stack and appended in one go.
constexpr std::size_t kMemberRoom = 128;
constexpr std::size_t kNoHead = static_cast<std::size_t>(-1);

// Copies a text that JSON writes as it is (no quotation mark, backslash or
// control character) to `to`, within `room` bytes: its length, or kNoHead
// when it needs escapes or does not fit.
std::size_t copy_plain(char* to, std::size_t room, const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length > room || yajson::detail::scan_string(text, text + length, '"', true) != text + length)
        return kNoHead;
    std::memcpy(to, text, length);
    return length;
}

}  // namespace

JsonAppender::JsonAppender(std::string& out, bool is_array) : out_(&out), is_array_(is_array)
{
    out += is_array ? '[' : '{';
}

JsonAppender::JsonAppender(std::string& out, const char* service, const char* cmd,
                           const char* version)
    : JsonAppender(out, false)
{
    const bool no_version = version == nullptr || *version == '\0';
    if (!no_version)
        add_string("version", version);
    if (service != nullptr && *service != '\0') {
        add_string("service", service);
        if (no_version && std::strcmp(service, "rrm") == 0)
            add_string("version", "2.4");
    }
    if (cmd != nullptr && *cmd != '\0')
        add_string("cmd", cmd);
}

JsonAppender::JsonAppender(JsonAppender&& other) noexcept
    : out_(other.out_), is_array_(other.is_array_), empty_(other.empty_)
{
    other.out_ = nullptr;
}

JsonAppender::~JsonAppender()
{
    if (out_ != nullptr)
        *out_ += is_array_ ? ']' : '}';
}

std::size_t JsonAppender::begin_member(char* head, const char* key)
{
    std::size_t n = 0;
    if (!empty_)
        head[n++] = ',';
    empty_ = false;
    if (is_array_)
        return n;
    if (key == nullptr)
        throw std::logic_error("basic_string: construction from null is not valid");
    head[n++] = '"';
    const std::size_t length = copy_plain(head + n, kMemberRoom / 2, key);
    if (length != kNoHead) {
        n += length;
        head[n++] = '"';
        head[n++] = ':';
        return n;
    }
    // A key with escapes, or a long one: written out here.
    out_->append(head, n - 1);
    append_json_text(*out_, key);
    *out_ += ':';
    return 0;
}

JsonAppender JsonAppender::add_array(const char* key)
{
    char head[kMemberRoom];
    out_->append(head, begin_member(head, key));
    return JsonAppender(*out_, true);
}

JsonAppender JsonAppender::add_object(const char* key)
{
    char head[kMemberRoom];
    out_->append(head, begin_member(head, key));
    return JsonAppender(*out_, false);
}

JsonAppender& JsonAppender::add_int(const char* key, long value)
{
    char member[kMemberRoom];
    const std::size_t n = begin_member(member, key);
    const auto end = std::to_chars(member + n, member + sizeof member, value).ptr;
    out_->append(member, static_cast<std::size_t>(end - member));
    return *this;
}

JsonAppender& JsonAppender::add_string(const char* key, const char* value)
{
    if (value == nullptr)
        value = "";
    char member[kMemberRoom];
    std::size_t n = begin_member(member, key);
    const std::size_t length = copy_plain(member + n + 1, sizeof member - n - 2, value);
    if (length == kNoHead) {
        out_->append(member, n);
        append_json_text(*out_, value);
        return *this;
    }
    member[n] = '"';
    n += 1 + length;
    member[n++] = '"';
    out_->append(member, n);
    return *this;
}

JsonAppender& JsonAppender::add_json(const char* key, std::string_view json)
{
    char head[kMemberRoom];
    out_->append(head, begin_member(head, key));
    out_->append(json);
    return *this;
}

}  // namespace rrm
