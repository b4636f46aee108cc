#pragma once
// Error codes of the "json" category and the exceptions of the library.

#include <cstddef>
#include <string>
#include <system_error>

namespace yajson {

enum class errc : int {
    success = 0,
    unexpected_end_of_input = 1,
    unexpected_character = 2,
    invalid_escape = 3,
    invalid_unicode_escape = 4,
    invalid_number = 5,
    unterminated_string = 6,
    unterminated_array = 7,
    unterminated_object = 8,
    trailing_content = 9,
    max_depth_exceeded = 10,
    invalid_literal = 11,
    duplicate_key = 12,
    invalid_utf8 = 13,
    invalid_comment = 14,
    type_mismatch = 50,
    index_out_of_range = 51,
    key_not_found = 52,
    integer_overflow = 53,
    nan_or_infinity = 80,
};

namespace detail {

class json_error_category_impl : public std::error_category {
public:
    ~json_error_category_impl() override = default;

    const char* name() const noexcept override { return "json"; }

    std::string message(int code) const override
    {
        switch (code) {
        case 0: return "success";
        case 1: return "unexpected end of input";
        case 2: return "unexpected character";
        case 3: return "invalid escape sequence";
        case 4: return "invalid unicode escape";
        case 5: return "invalid number";
        case 6: return "unterminated string";
        case 7: return "unterminated array";
        case 8: return "unterminated object";
        case 9: return "trailing content after JSON";
        case 10: return "maximum nesting depth exceeded";
        case 11: return "invalid literal";
        case 12: return "duplicate key";
        case 13: return "invalid UTF-8 encoding";
        case 14: return "invalid comment";
        case 50: return "type mismatch";
        case 51: return "index out of range";
        case 52: return "key not found";
        case 53: return "integer overflow";
        case 80: return "NaN or Infinity not representable";
        default: return "unknown json error";
        }
    }

    std::error_condition default_error_condition(int code) const noexcept override
    {
        if (code == 0)
            return std::error_condition(0, std::generic_category());
        return std::error_condition(code, *this);
    }
};

} // namespace detail

inline const std::error_category& json_error_category() noexcept
{
    static const detail::json_error_category_impl instance;
    return instance;
}

inline std::error_code make_error_code(errc e) noexcept
{
    return std::error_code(static_cast<int>(e), json_error_category());
}

// Thrown by the typed accessors when a value has another kind.
class TypeError : public std::system_error {
public:
    explicit TypeError(const std::string& message)
        : std::system_error(make_error_code(errc::type_mismatch), message)
    {
    }
};

// Thrown by element access with an index past the end.
class OutOfRangeError : public std::system_error {
public:
    explicit OutOfRangeError(const std::string& message)
        : std::system_error(make_error_code(errc::index_out_of_range), message)
    {
    }
};

// Thrown by the parser; carries where in the text the failure was found.
class ParseError : public std::system_error {
public:
    ParseError(const std::string& detail, std::error_code code, std::size_t line, std::size_t column,
               std::size_t offset)
        : std::system_error(code, "JSON parse error at line " + std::to_string(line) + ", column " +
                                      std::to_string(column) + ": " + detail),
          line_(line), column_(column), offset_(offset)
    {
    }

    ParseError(const std::string& detail, errc code, std::size_t line, std::size_t column,
               std::size_t offset)
        : ParseError(detail, make_error_code(code), line, column, offset)
    {
    }

    std::size_t line() const noexcept { return line_; }
    std::size_t column() const noexcept { return column_; }
    // Bytes from the beginning of the text to the failure.
    std::size_t offset() const noexcept { return offset_; }

private:
    std::size_t line_;
    std::size_t column_;
    std::size_t offset_;
};

} // namespace yajson

namespace std {
template <>
struct is_error_code_enum<yajson::errc> : true_type {};
} // namespace std
