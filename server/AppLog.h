#pragma once
// Records of the program's own files go straight to the easylogging++
// logger "default", carrying the source file, line and plain function name
// (the library's own macros would give the decorated signature).

#include <easylogging++.h>

#define APP_LOG(LEVEL)                                                        \
    el::base::Writer(el::Level::LEVEL, __FILE__, __LINE__, __func__)          \
        .construct(1, el::base::consts::kDefaultLoggerId)
