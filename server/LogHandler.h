#pragma once
// The server library's records written through easylogging++: the handler
// that main installs for the library's log function, and the library's
// level mask kept equal to the levels that easylogging++ writes.

#include <cstdarg>

// One easylogging++ record on the logger "default" per library record, with
// the library caller's file, line and function. easylogging++ is asked
// whether the level is written before the record is formatted; a record
// whose formatting fails is dropped.
void server_log_handler(const char* file, int line, const char* func, int level, const char* fmt,
                        va_list args);

// The levels (of the five the library uses) that easylogging++'s logger
// "default" writes now, as a mask of their values.
int easylogging_levels();

// Hands easylogging_levels() to the library, so that records of the other
// levels are neither formatted nor have their arguments evaluated. To be
// called after every change of easylogging++'s configuration.
void apply_log_levels();
