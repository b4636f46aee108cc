#include "Reports.h"

#include "Log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace reports {

namespace {
constexpr int kInvalid = EINVAL;  // 22
}

int get_field_by_num_as_str(std::string_view line, size_t n, std::string& out, char separator,
                            bool allow_empty)
{
    out.clear();
    if (line.empty()) {
        RRM_ERROR("'source' string is empty.");
        return kInvalid;
    }
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t next = line.find(separator, start);
        if (next == std::string_view::npos) {
            RRM_ERROR("Not found field %zu in string: \"%s\".", n, std::string(line).c_str());
            return kInvalid;
        }
        start = next + 1;
    }
    const size_t end = line.find(separator, start);
    const std::string_view field =
        line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (field.empty() && !allow_empty) {
        if (end != std::string_view::npos)
            RRM_ERROR("Requested empty field %zu in string: \"%s\".", n,
                      std::string(line).c_str());
        else
            RRM_ERROR("Requested field %zu is empty (string: \"%s\").", n,
                      std::string(line).c_str());
        return kInvalid;
    }
    out.assign(field);
    return 0;
}

std::pair<std::optional<int>, int> str_to_int_with_log(const std::string& text)
{
    if (text.empty()) {
        RRM_ERROR("String for convert is empty.");
        return {std::nullopt, kInvalid};
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (errno != 0) {
        const int code = errno;
        RRM_ERROR("Argument \"%s\" invalid. Error code: %d (%s).", text.c_str(), code,
                  std::strerror(code));
        errno = 0;
        return {std::nullopt, code};
    }
    if (value > INT_MAX) {
        RRM_ERROR("Argument \"%s\" too big.", text.c_str());
        return {std::nullopt, kInvalid};
    }
    if (value < INT_MIN) {
        RRM_ERROR("Argument \"%s\" too small.", text.c_str());
        return {std::nullopt, kInvalid};
    }
    if (*end != '\0') {
        RRM_ERROR("Argument \"%s\" inconvertible.", text.c_str());
        return {std::nullopt, kInvalid};
    }
    return {static_cast<int>(value), 0};
}

int get_field_by_num_as_int(std::string_view line, size_t n, int& value, char separator)
{
    std::string field;
    const int rc = get_field_by_num_as_str(line, n, field, separator, false);
    if (rc != 0) {
        value = 0;
        return rc;
    }
    const auto [converted, code] = str_to_int_with_log(field);
    if (!converted) {
        RRM_ERROR("Incorrect field %zu in string: \"%s\".", n, std::string(line).c_str());
        return code;
    }
    value = *converted;
    return 0;
}

}  // namespace reports
