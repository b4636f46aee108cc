// Compiled into the program (and the benchmarks) when tcmalloc takes
// glibc's place as their malloc.

#include <gperftools/malloc_extension_c.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstddef>
#include <thread>

namespace {

// glibc's malloc gives blocks of 128 KiB and more back to the system when
// they are freed (main fixes its threshold there); tcmalloc keeps free pages
// for reuse. So that a burst of large messages does not keep its memory for
// good, a thread looks once a second and gives tcmalloc's free pages back
// when they pass this and nothing has been allocated or freed for a second:
// while messages stream in, pages given back would only be faulted in again.
// (Giving pages back on every free costs the storm and ingest several times
// their time: measured in docs/PERFORMANCE.md.)
constexpr std::size_t kKeptFreeBytes = 8u << 20;

std::size_t property(const char* name)
{
    std::size_t value = 0;
    MallocExtension_GetNumericProperty(name, &value);
    return value;
}

[[noreturn]] void give_back_free_pages()
{
    std::size_t seen = 0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const std::size_t allocated = property("generic.current_allocated_bytes");
        if (allocated == seen && property("tcmalloc.pageheap_free_bytes") > kKeptFreeBytes)
            MallocExtension_ReleaseFreeMemory();
        seen = allocated;
    }
}

// Started before main: it takes no signal, so that SIGINT reaches the
// thread that main has made ready for it.
[[maybe_unused]] const bool giving_back = [] {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    std::thread(give_back_free_pages).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return true;
}();

}  // namespace

// After a burst of large texts the transport trims the heap so that their
// memory goes back to the system. glibc's malloc_trim would trim glibc's own
// heap, which tcmalloc leaves empty; this one gives back tcmalloc's free
// pages instead.
extern "C" int malloc_trim(std::size_t)
{
    MallocExtension_ReleaseFreeMemory();
    return 1;
}
