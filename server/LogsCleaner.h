#pragma once
// Keeps the log folder within a number of files, a total size and an age:
// each pass walks the folder and removes the oldest files that break a
// limit. The current log file is never listed, counted or removed.

#include <cstdint>
#include <string>
#include <vector>

struct stat;
struct FTW;

class Logs_Cleaner {
public:
    struct FileInfo {
        std::string path;
        uint64_t size = 0;
        int64_t mtime = 0;       // seconds since the epoch
        std::string mtime_text;  // ctime() text in local time, without its newline
    };

    static constexpr uint64_t kMaxFilesCount = 100;
    static constexpr uint64_t kMinFolderSize = 1000000;
    static constexpr uint64_t kMaxFolderSize = 999999999;
    static constexpr uint64_t kMaxFilesAge = 720;

    // max_folder_size is in bytes here; the setter below takes MiB.
    Logs_Cleaner(uint64_t max_files_count, uint64_t max_folder_size, uint64_t max_files_age,
                 const std::string& folder, const std::string& current_file);
    ~Logs_Cleaner();
    Logs_Cleaner(const Logs_Cleaner&) = delete;
    Logs_Cleaner& operator=(const Logs_Cleaner&) = delete;

    // Limits as the configuration gives them (0 disables a limit), stored
    // clamped: count in files, size in MiB (stored in bytes), age in hours.
    void set_max_files_count(uint64_t files) { max_files_count = clamp_files_count(files); }
    void set_max_folder_size(uint64_t mib) { max_folder_size = clamp_folder_size(mib); }
    void set_max_files_age(uint64_t hours) { max_files_age = clamp_files_age(hours); }
    uint64_t get_max_files_count() const { return max_files_count; }
    uint64_t get_max_folder_size() const { return max_folder_size; }
    uint64_t get_max_files_age() const { return max_files_age; }
    static uint64_t clamp_files_count(uint64_t files);
    static uint64_t clamp_folder_size(uint64_t mib);
    static uint64_t clamp_files_age(uint64_t hours);

    // One entry of the folder walk; always 0 so the walk goes on.
    int collect_file(const char* path, const struct stat* st, int type_flag, struct FTW* ftw);
    void scan();
    void clean();
    int scan_and_clean();

    // Results of the last walk.
    uint64_t get_folder_size() const { return folder_size; }
    uint64_t get_files_count() const { return files_count; }

private:
    void to_remove_by_files_count();
    void to_remove_by_files_age();
    void to_remove_by_folder_size();
    void remove_files();

    uint64_t max_files_count;
    uint64_t max_folder_size;
    uint64_t max_files_age;
    uint64_t folder_size = 0;
    uint64_t files_count = 0;
    std::string folder;
    std::string current_file;
    std::vector<FileInfo> files;
    std::vector<FileInfo> to_remove;
};
