#include "LogsCleaner.h"

#include "AppLog.h"

#include <ftw.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

// nftw carries no user pointer; the walk runs on the calling thread, so the
// cleaner that is walking is remembered per thread for the duration of it.
thread_local Logs_Cleaner* walking = nullptr;

int nftw_trampoline(const char* path, const struct stat* st, int type_flag, struct FTW* ftw)
{
    return walking ? walking->collect_file(path, st, type_flag, ftw) : -1;
}

std::string mtime_text(time_t t)
{
    char buf[64];
    if (!ctime_r(&t, buf))
        return std::string();
    std::string text(buf);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

}  // namespace

Logs_Cleaner::Logs_Cleaner(uint64_t max_files_count_, uint64_t max_folder_size_,
                           uint64_t max_files_age_, const std::string& folder_,
                           const std::string& current_file_)
    : max_files_count(max_files_count_),
      max_folder_size(max_folder_size_),
      max_files_age(max_files_age_),
      folder(folder_),
      current_file(current_file_)
{
}

Logs_Cleaner::~Logs_Cleaner() = default;

uint64_t Logs_Cleaner::clamp_files_count(uint64_t files)
{
    return std::min(files, kMaxFilesCount);
}

uint64_t Logs_Cleaner::clamp_folder_size(uint64_t mib)
{
    if (mib == 0)
        return 0;
    // Compared in MiB first: a huge (or negative, read as unsigned) value
    // must not wrap around to 0 and silently switch the limit off.
    if (mib > (kMaxFolderSize >> 20))
        return kMaxFolderSize;
    return std::max(mib << 20, kMinFolderSize);
}

uint64_t Logs_Cleaner::clamp_files_age(uint64_t hours)
{
    return std::min(hours, kMaxFilesAge);
}

int Logs_Cleaner::collect_file(const char* path, const struct stat* st, int type_flag,
                               struct FTW*)
{
    if (type_flag != FTW_F || !st || !S_ISREG(st->st_mode) || current_file == path)
        return 0;
    FileInfo info;
    info.path = path;
    info.size = static_cast<uint64_t>(st->st_size);
    info.mtime = static_cast<int64_t>(st->st_mtime);
    info.mtime_text = mtime_text(st->st_mtime);
    folder_size += info.size;
    files.push_back(std::move(info));
    return 0;
}

void Logs_Cleaner::scan()
{
    files.clear();
    folder_size = 0;
    files_count = 0;
    Logs_Cleaner* outer = walking;
    walking = this;
    // A folder that is missing or unreadable simply yields no files.
    nftw(folder.c_str(), nftw_trampoline, 64, FTW_PHYS | FTW_MOUNT | FTW_DEPTH);
    walking = outer;
    files_count = files.size();
}

void Logs_Cleaner::clean()
{
    std::stable_sort(files.begin(), files.end(),
                     [](const FileInfo& a, const FileInfo& b) { return a.mtime < b.mtime; });
    to_remove_by_files_count();
    to_remove_by_files_age();
    to_remove_by_folder_size();
    remove_files();
    to_remove.clear();
    files.clear();
}

int Logs_Cleaner::scan_and_clean()
{
    scan();
    if (files_count > 0)
        clean();
    return 0;
}

void Logs_Cleaner::to_remove_by_files_count()
{
    if (max_files_count == 0 || files.size() <= max_files_count)
        return;
    const size_t excess = files.size() - max_files_count;
    APP_LOG(Info) << "Files count limit exceeded, prepare to remove " << excess << " files.";
    auto end = files.begin() + static_cast<std::ptrdiff_t>(excess);
    std::move(files.begin(), end, std::back_inserter(to_remove));
    files.erase(files.begin(), end);
}

void Logs_Cleaner::to_remove_by_files_age()
{
    if (max_files_age == 0)
        return;
    const int64_t limit = static_cast<int64_t>(std::time(nullptr)) -
                          static_cast<int64_t>(max_files_age) * 3600;
    std::vector<FileInfo> kept;
    kept.reserve(files.size());
    for (auto& file : files) {
        if (file.mtime < limit) {
            APP_LOG(Info) << "Prepare to remove too old file (mod time > " << max_files_age
                          << "h) - '" << file.path << "',' " << file.size << "B, "
                          << file.mtime_text;
            to_remove.push_back(std::move(file));
        } else {
            kept.push_back(std::move(file));
        }
    }
    files.swap(kept);
}

void Logs_Cleaner::to_remove_by_folder_size()
{
    if (max_folder_size == 0)
        return;
    // Files that the count and age steps already chose are on their way out
    // and no longer weigh on the folder.
    uint64_t remaining = folder_size;
    for (const auto& file : to_remove)
        remaining -= std::min(remaining, file.size);
    if (remaining <= max_folder_size)
        return;
    uint64_t excess = remaining - max_folder_size;
    size_t taken = 0;
    while (excess > 0 && taken < files.size()) {
        FileInfo& file = files[taken++];
        APP_LOG(Info) << "Decreasing folder size, prepare to remove '" << file.path << "', "
                      << file.size << "B, " << file.mtime_text;
        excess -= std::min(excess, file.size);
        to_remove.push_back(std::move(file));
    }
    files.erase(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(taken));
}

void Logs_Cleaner::remove_files()
{
    std::vector<FileInfo> not_removed;
    for (auto& file : to_remove) {
        APP_LOG(Info) << "Removing file '" << file.path << "', size " << file.size
                      << "B, modded - " << file.mtime_text;
        if (std::remove(file.path.c_str()) != 0)
            not_removed.push_back(std::move(file));
    }
    to_remove.swap(not_removed);
    if (to_remove.empty())
        return;
    APP_LOG(Info) << "Not removed files:";
    for (const auto& file : to_remove)
        APP_LOG(Info) << "'" << file.path << "', size " << file.size << "B, modded - "
                      << file.mtime_text;
}
