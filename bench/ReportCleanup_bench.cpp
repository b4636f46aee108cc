// The daily clean-up of one domain's report files: 10 report lines per run,
// one settings and one index line per run, the older half of the runs beyond
// the 93 days kept, so every clean-up rewrites all three files. Arguments:
// report lines (100,000 and 1,000,000).
//
// Peers doing the same filtering of the same three files, without the
// markers and the backup renames: a bare C++ stdio loop (getline, one fixed-
// width date-text compare per line, fwrite, rename) and mawk in one shell
// command. Both compare the date texts only; the clean-up also parses every
// date as a time.
//
// The syncs the clean-up makes so that its commit survives a power cut
// (each kept-lines copy, and the folder three times) are measured by running
// the same clean-up with fsync turned into a no-op (the benchmark defines
// fsync itself and hands the call on unless told to skip it), and the stdio
// peer is run a second time with the syncs a crash-safe peer needs (each
// copy before its rename, the folder after the renames).
//
// Peak memory, two ways: the bytes live through operator new at their
// highest during the call, above those live before it (heap_peak_KB; the
// stdio peer's getline buffer comes from malloc and is not counted), and the
// process's resident high-water mark, reset (/proc/self/clear_refs) before
// the call, above the resident size before it (rss_growth_KB).

#include "report_optimize_tpc_dca.h"

#include "Log.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <new>
#include <stdexcept>
#include <string>

// Live bytes allocated through operator new, and their high-water mark.
namespace {
std::atomic<long> live_bytes{0};
std::atomic<long> peak_bytes{0};

void* counted_alloc(std::size_t n)
{
    void* p = std::malloc(n + 16);
    if (!p)
        throw std::bad_alloc();
    *static_cast<std::size_t*>(p) = n;
    const long now = live_bytes += static_cast<long>(n);
    long peak = peak_bytes.load();
    while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(p) + 16;
}

void counted_free(void* p) noexcept
{
    if (!p)
        return;
    char* base = static_cast<char*>(p) - 16;
    live_bytes -= static_cast<long>(*reinterpret_cast<std::size_t*>(base));
    std::free(base);
}
}  // namespace

// fsync of this program: the C library's, unless a benchmark skips the syncs.
namespace {
std::atomic<bool> skip_sync{false};
}  // namespace

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return skip_sync.load() ? 0 : real(fd);
}

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace {

constexpr int kDaysToLive = 93;
constexpr int kRadiosPerRun = 10;

void quiet(const char*, int, const char*, int, const char*, va_list) {}

long status_kb(const char* key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0)
            return std::strtol(line.c_str() + n + 1, nullptr, 10);
    return -1;
}

void reset_peak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/wendara-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

void remove_tree(const std::string& path)
{
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
            ::remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

void copy_file(const std::string& from, const std::string& to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    struct stat st;
    ::fstat(in, &st);
    off_t left = st.st_size;
    while (left > 0) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, left, 0);
        if (n <= 0)
            throw std::runtime_error("copy_file_range failed");
        left -= n;
    }
    ::close(in);
    ::close(out);
}

const char* const kNames[] = {"report_idx_lab.txt", "report_cfg_lab.txt", "report_lab.txt"};

// A master set of files per line count, made once and copied before each
// timed run.
const std::string& master(size_t lines)
{
    // Removed with the process's static objects.
    static struct Masters {
        std::map<size_t, std::string> dirs;
        ~Masters()
        {
            for (const auto& entry : dirs)
                remove_tree(entry.second);
        }
    } masters;
    auto it = masters.dirs.find(lines);
    if (it != masters.dirs.end())
        return it->second;
    const std::string dir = make_temp_dir();
    std::FILE* index = std::fopen((dir + "/" + kNames[0]).c_str(), "w");
    std::FILE* config = std::fopen((dir + "/" + kNames[1]).c_str(), "w");
    std::FILE* report = std::fopen((dir + "/" + kNames[2]).c_str(), "w");
    const size_t runs = lines / kRadiosPerRun;
    const time_t now = std::time(nullptr);
    const std::string row = "1,1,1,1,25,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1";
    for (size_t run = 0; run < runs; ++run) {
        // First half 200 days back (dropped), second half 10 days back.
        const time_t start = now - (run < runs / 2 ? 200 : 10) * 86400 + static_cast<time_t>(run);
        const std::string stamp = reports::get_date_time_as_str(start, true);
        std::fprintf(index, "1.1,%s\n", stamp.c_str());
        std::fprintf(config, "1.1,%s,%s\n", stamp.c_str(), row.c_str());
        for (int radio = 0; radio < kRadiosPerRun; ++radio)
            std::fprintf(report,
                         "1.1,%s,02:00:00:%02X:%02X:00,02:00:00:%02X:%02X:%02X,17,14,36,44,%d,80,"
                         "20,5,256,36 40 44 48,23,20,5,30,3,1\n",
                         stamp.c_str(), static_cast<unsigned>(run >> 8 & 0xff),
                         static_cast<unsigned>(run & 0xff), static_cast<unsigned>(run >> 8 & 0xff),
                         static_cast<unsigned>(run & 0xff), radio * 16, radio % 3);
    }
    std::fclose(index);
    std::fclose(config);
    std::fclose(report);
    return masters.dirs[lines] = dir;
}

size_t total_lines(size_t report_lines)
{
    return report_lines + 2 * (report_lines / kRadiosPerRun);
}

template <class Clean>
void run(benchmark::State& state, Clean&& clean)
{
    rrm::set_log_handler(&quiet);
    const size_t lines = static_cast<size_t>(state.range(0));
    const std::string& from = master(lines);
    const std::string dir = make_temp_dir();
    long rss_growth = 0;
    long heap_peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (const char* name : kNames)
            copy_file(from + "/" + name, dir + "/" + name);
        const long before = status_kb("VmRSS:");
        reset_peak();
        const long heap_before = live_bytes.load();
        peak_bytes = heap_before;
        state.ResumeTiming();
        clean(dir);
        state.PauseTiming();
        rss_growth = std::max(rss_growth, status_kb("VmHWM:") - before);
        heap_peak = std::max(heap_peak, peak_bytes.load() - heap_before);
        state.ResumeTiming();
    }
    remove_tree(dir);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * total_lines(lines)));
    state.counters["heap_peak_KB"] = static_cast<double>(heap_peak) / 1024.0;
    state.counters["rss_growth_KB"] = static_cast<double>(rss_growth);
}

void BM_DeleteOldReportsInDomain(benchmark::State& state)
{
    run(state, [&](const std::string& dir) {
        if (reports::delete_old_reports_in_domain("lab", kDaysToLive, dir) != 0)
            state.SkipWithError("clean-up failed");
    });
}

// The same clean-up with every fsync skipped: what the syncs cost.
void BM_DeleteOldReportsInDomainUnsynced(benchmark::State& state)
{
    skip_sync = true;
    run(state, [&](const std::string& dir) {
        if (reports::delete_old_reports_in_domain("lab", kDaysToLive, dir) != 0)
            state.SkipWithError("clean-up failed");
    });
    skip_sync = false;
}

// The same lines kept, with fixed-width date texts compared as texts; with
// `synced`, each copy is synced before its rename and the folder after them.
template <bool synced>
void BM_PeerStdioFilter(benchmark::State& state)
{
    run(state, [&](const std::string& dir) {
        const time_t now = std::time(nullptr);
        const std::string low = reports::get_date_time_as_str(now - kDaysToLive * 86400, true);
        const std::string high = reports::get_date_time_as_str(now, true);
        for (const char* name : kNames) {
            const std::string file = dir + "/" + name;
            std::FILE* in = std::fopen(file.c_str(), "r");
            std::FILE* out = std::fopen((file + ".tmp").c_str(), "w");
            char* line = nullptr;
            size_t capacity = 0;
            ssize_t n;
            while ((n = ::getline(&line, &capacity, in)) > 0) {
                if (n < 23)
                    continue;
                const char* stamp = line + 4;
                if (std::memcmp(stamp, low.data(), 19) >= 0 &&
                    std::memcmp(stamp, high.data(), 19) <= 0)
                    std::fwrite(line, 1, static_cast<size_t>(n), out);
            }
            std::free(line);
            std::fclose(in);
            if (synced) {
                std::fflush(out);
                ::fsync(::fileno(out));
            }
            std::fclose(out);
            std::rename((file + ".tmp").c_str(), file.c_str());
        }
        if (synced) {
            const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::fsync(folder);
            ::close(folder);
        }
    });
}

void BM_PeerMawk(benchmark::State& state)
{
    run(state, [&](const std::string& dir) {
        const time_t now = std::time(nullptr);
        const std::string low = reports::get_date_time_as_str(now - kDaysToLive * 86400, true);
        const std::string high = reports::get_date_time_as_str(now, true);
        std::string command = "cd " + dir + " && for f in";
        for (const char* name : kNames)
            command += std::string(" ") + name;
        command += "; do mawk -F, -v lo='" + low + "' -v hi='" + high +
                   "' '{d=$2\",\"$3} d>=lo && d<=hi' $f > $f.tmp && mv $f.tmp $f || exit 1; done";
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("mawk failed");
    });
}

BENCHMARK(BM_DeleteOldReportsInDomain)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DeleteOldReportsInDomainUnsynced)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_PeerStdioFilter, false)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_PeerStdioFilter, true)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeerMawk)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
