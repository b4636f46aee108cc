#include "BackupFiles.h"

#include "FolderFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace backup_files {

namespace {

constexpr char kTemporaryPrefix[] = ".backup.";
constexpr size_t kRandomPart = 6;  // the XXXXXX of mkostemp

bool write_whole(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool all_digits(const std::string& text)
{
    return !text.empty() && text.size() <= 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// The six characters that mkostemp puts in place of XXXXXX.
bool random_part(const std::string& text)
{
    if (text.size() != kRandomPart)
        return false;
    for (const char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A temporary file of a writer that can no longer rename it.
bool is_stale(const std::string& name)
{
    if (name.size() < 2 || name[0] != '.' || ends_with(name, ".json"))
        return false;
    const size_t dot = name.rfind('.');
    if (dot == 0 || !random_part(name.substr(dot + 1)))
        return false;
    const std::string head = name.substr(0, dot);
    const std::string prefix = kTemporaryPrefix;
    if (head.compare(0, prefix.size(), prefix) == 0 && all_digits(head.substr(prefix.size())))
        return !rrm::is_other_running_process(
            std::strtol(head.c_str() + prefix.size(), nullptr, 10));
    // ".<domain>.json.XXXXXX", named after the domain by earlier versions.
    return head.size() > 6 && ends_with(head, ".json");
}

}  // namespace

std::string file_name(const std::string& folder, const std::string& domain)
{
    return folder + "/" + domain + ".json";
}

int write(const std::string& folder, const std::string& domain, const std::string& text)
{
    // Hidden and never ending in ".json", so a restore never reads a file
    // that a killed run left half written; unique, so two writers of the
    // same folder never write into one temporary file; named after the
    // process, so a start-up can tell its own leftovers from a live
    // writer's.
    std::string temporary =
        folder + "/" + kTemporaryPrefix + std::to_string(::getpid()) + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::fchmod(fd, 0640) != 0 || !write_whole(fd, text) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), file_name(folder, domain).c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself lasts only once the folder is on disk.
    (void)rrm::sync_folder(folder);
    return 0;
}

void remove_stale_temporaries(const std::string& folder)
{
    rrm::remove_files_in(folder, is_stale);
}

}  // namespace backup_files
