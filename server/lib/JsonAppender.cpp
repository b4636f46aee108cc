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

void JsonAppender::begin_member(const char* key)
{
    if (!empty_)
        *out_ += ',';
    empty_ = false;
    if (is_array_)
        return;
    if (key == nullptr)
        throw std::logic_error("basic_string: construction from null is not valid");
    append_json_text(*out_, key);
    *out_ += ':';
}

JsonAppender JsonAppender::add_array(const char* key)
{
    begin_member(key);
    return JsonAppender(*out_, true);
}

JsonAppender JsonAppender::add_object(const char* key)
{
    begin_member(key);
    return JsonAppender(*out_, false);
}

JsonAppender& JsonAppender::add_int(const char* key, long value)
{
    begin_member(key);
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_->append(digits, static_cast<std::size_t>(end - digits));
    return *this;
}

JsonAppender& JsonAppender::add_string(const char* key, const char* value)
{
    begin_member(key);
    append_json_text(*out_, value != nullptr ? value : "");
    return *this;
}

JsonAppender& JsonAppender::add_json(const char* key, std::string_view json)
{
    begin_member(key);
    out_->append(json);
    return *this;
}

}  // namespace rrm
