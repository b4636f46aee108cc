// Compiled into the program (and the benchmarks) when tcmalloc takes
// glibc's place as their malloc.

#include <gperftools/malloc_extension_c.h>

#include <cstddef>

namespace {

// Pages of blocks that are freed go back to the system at once, as glibc's
// malloc gives back blocks of 128 KiB and more (main fixes its threshold
// there): without it tcmalloc keeps what a burst of large messages took,
// since their parse arenas are freed by the workers after the transport's
// trim below.
[[maybe_unused]] const int decommit = MallocExtension_SetNumericProperty("tcmalloc.aggressive_memory_decommit", 1);

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
