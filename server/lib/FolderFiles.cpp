#include "FolderFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace rrm {

int sync_folder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    return error;
}

void remove_files_in(const std::string& folder,
                     const std::function<bool(const std::string& name)>& stale)
{
    if (folder.empty())
        return;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    // Collected first: removing while the folder is read may skip entries.
    std::vector<std::string> found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && stale(name))
            found.push_back(folder + "/" + name);
    }
    ::closedir(dir);
    for (const std::string& file : found)
        ::unlink(file.c_str());
}

bool is_other_running_process(long pid)
{
    return pid > 0 && pid <= INT_MAX && pid != ::getpid() &&
           ::kill(static_cast<pid_t>(pid), 0) == 0;
}

}  // namespace rrm
