#pragma once
// Reading the separated fields of optimisation report lines.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace reports {

// Field n (counted from 0) of line split at separator into out. 0 on
// success; otherwise 22 after an Error record, with out cleared.
int get_field_by_num_as_str(std::string_view line, size_t n, std::string& out, char separator,
                            bool allow_empty);

// A whole text as an int (strtol base 0); the value, or none and the error
// code after an Error record.
std::pair<std::optional<int>, int> str_to_int_with_log(const std::string& text);

// Field n of line as an int. 0 on success; otherwise a non-zero code after an
// Error record (value 0 when the field is missing or empty, unchanged when it
// does not convert).
int get_field_by_num_as_int(std::string_view line, size_t n, int& value, char separator);

}  // namespace reports
