#pragma once
// Records, in order, the fsync, rename and removal calls that the code under
// test makes, by defining those functions in the test program itself: the
// program's own definitions take the place of the C library's for every
// call from the program and the libraries linked into it, and hand each
// call on to the next definition (the C library's, or a sanitizer's).
//
// Include it in one test program only, in one source file. Recording is off
// until a FileOpsRecorder exists; the calls pass through unchanged.
//
// What a sync covers on disk is the file or folder itself: a test reads
// from the record whether the bytes of a file were synced before it was
// renamed into place, and whether a folder was synced after a rename and
// before the next step that relies on it.

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

struct FileOp {
    std::string what;  // "fsync", "rename", "unlink" (unlink and remove)
    std::string path;  // the file synced or removed, the source of a rename
    std::string to;    // the target of a rename
};

class FileOpsRecorder {
public:
    FileOpsRecorder()
    {
        std::lock_guard<std::mutex> lock(mutex());
        active() = this;
    }
    ~FileOpsRecorder()
    {
        std::lock_guard<std::mutex> lock(mutex());
        active() = nullptr;
    }
    FileOpsRecorder(const FileOpsRecorder&) = delete;
    FileOpsRecorder& operator=(const FileOpsRecorder&) = delete;

    std::vector<FileOp> ops() const
    {
        std::lock_guard<std::mutex> lock(mutex());
        return ops_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex());
        ops_.clear();
    }

    // Called by the definitions below.
    static void record(FileOp op)
    {
        std::lock_guard<std::mutex> lock(mutex());
        if (active())
            active()->ops_.push_back(std::move(op));
    }
    static std::string path_of(int fd)
    {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link, target, sizeof target);
        return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
    }

private:
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static FileOpsRecorder*& active()
    {
        static FileOpsRecorder* recorder = nullptr;
        return recorder;
    }

    std::vector<FileOp> ops_;
};

template <class F>
F next_definition(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace testsupport

extern "C" {

int fsync(int fd)
{
    static const auto real = testsupport::next_definition<int (*)(int)>("fsync");
    const int result = real(fd);
    if (result == 0)
        testsupport::FileOpsRecorder::record({"fsync", testsupport::FileOpsRecorder::path_of(fd), ""});
    return result;
}

int fdatasync(int fd)
{
    static const auto real = testsupport::next_definition<int (*)(int)>("fdatasync");
    const int result = real(fd);
    if (result == 0)
        testsupport::FileOpsRecorder::record({"fsync", testsupport::FileOpsRecorder::path_of(fd), ""});
    return result;
}

int rename(const char* from, const char* to) noexcept
{
    static const auto real =
        testsupport::next_definition<int (*)(const char*, const char*)>("rename");
    const int result = real(from, to);
    if (result == 0)
        testsupport::FileOpsRecorder::record({"rename", from, to});
    return result;
}

int unlink(const char* path) noexcept
{
    static const auto real = testsupport::next_definition<int (*)(const char*)>("unlink");
    const int result = real(path);
    if (result == 0)
        testsupport::FileOpsRecorder::record({"unlink", path, ""});
    return result;
}

int remove(const char* path) noexcept
{
    static const auto real = testsupport::next_definition<int (*)(const char*)>("remove");
    const int result = real(path);
    if (result == 0)
        testsupport::FileOpsRecorder::record({"unlink", path, ""});
    return result;
}

}  // extern "C"
