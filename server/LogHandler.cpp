#include "LogHandler.h"

#include "Log.h"

#include <easylogging++.h>

#include <cstdio>
#include <memory>
#include <new>

namespace {

// easylogging++'s own record writer, asked before anything is formatted:
// constructing it finds the logger, takes the logger's lock and decides
// whether the level is written, which it otherwise keeps to itself.
class RecordWriter : public el::base::Writer {
public:
    using el::base::Writer::Writer;
    bool writes() const { return m_proceed; }
    // Nothing is written when the writer goes (the lock is still released).
    void drop() { m_proceed = false; }
};

// Most records fit here; longer ones are formatted once more on the heap.
constexpr int kInlineText = 512;

constexpr el::Level kLibraryLevels[] = {el::Level::Trace, el::Level::Debug, el::Level::Error,
                                        el::Level::Warning, el::Level::Info};

}  // namespace

void server_log_handler(const char* file, int line, const char* func, int level, const char* fmt,
                        va_list args)
{
    RecordWriter writer(static_cast<el::Level>(level), file, line, func);
    writer.construct(1, el::base::consts::kDefaultLoggerId);
    if (!writer.writes())
        return;
    char text[kInlineText];
    va_list first;
    va_copy(first, args);
    const int length = std::vsnprintf(text, sizeof text, fmt, first);
    va_end(first);
    if (length < 0) {
        writer.drop();
        return;
    }
    if (length < kInlineText) {
        writer << static_cast<const char*>(text);
        return;
    }
    const size_t size = static_cast<size_t>(length) + 1;
    std::unique_ptr<char[]> long_text(new (std::nothrow) char[size]);
    if (!long_text || std::vsnprintf(long_text.get(), size, fmt, args) < 0) {
        writer.drop();
        return;
    }
    writer << static_cast<const char*>(long_text.get());
}

int easylogging_levels()
{
    el::Logger* logger = el::Loggers::getLogger(el::base::consts::kDefaultLoggerId, false);
    if (!logger)
        return 0;
    int levels = 0;
    for (el::Level level : kLibraryLevels)
        if (logger->enabled(level))
            levels |= static_cast<int>(level);
    return levels;
}

void apply_log_levels()
{
    rrm::set_log_levels(easylogging_levels());
}
