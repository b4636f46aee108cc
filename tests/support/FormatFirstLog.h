#pragma once
// The program's log handler as it was before the level was tested first:
// every record it is handed is formatted with vasprintf and then written
// through easylogging++, which judges its level. The reference that tests
// and benchmarks compare the program's handler with.

#include <easylogging++.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace testsupport {

inline void format_first_log_handler(const char* file, int line, const char* func, int level,
                                     const char* fmt, va_list args)
{
    char* text = nullptr;
    if (::vasprintf(&text, fmt, args) == -1)
        return;
    if (!text)
        return;
    el::base::Writer(static_cast<el::Level>(level), file, line, func)
            .construct(1, el::base::consts::kDefaultLoggerId)
        << text;
    std::free(text);
}

}  // namespace testsupport
