#pragma once
// A temporary folder (mkdtemp) removed with everything in it at the end,
// with small helpers for the log and configuration files tests make.

#include <ftw.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// The lines of a text (a log), without their line breaks.
inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

class LogFolder {
public:
    LogFolder()
    {
        char tmpl[] = "/tmp/wendara-test-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~LogFolder()
    {
        nftw(
            path_.c_str(),
            [](const char* p, const struct stat*, int, struct FTW*) {
                ::remove(p);
                return 0;
            },
            64, FTW_DEPTH | FTW_PHYS);
    }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    std::string write(const std::string& name, const std::string& content) const
    {
        const std::string p = *this / name;
        std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
        return p;
    }
    // Sets a file's modification time to `when` (seconds since the epoch).
    static void set_mtime(const std::string& p, time_t when)
    {
        struct timeval tv[2] = {{when, 0}, {when, 0}};
        if (utimes(p.c_str(), tv) != 0)
            throw std::runtime_error("utimes failed: " + p);
    }
    // Names of the entries directly in the folder (or a subfolder), sorted.
    std::vector<std::string> names(const std::string& sub = "") const
    {
        std::vector<std::string> out;
        DIR* d = opendir(sub.empty() ? path_.c_str() : (*this / sub).c_str());
        if (!d)
            return out;
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                out.push_back(n);
        }
        closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }
    static bool exists(const std::string& p)
    {
        struct stat st;
        return lstat(p.c_str(), &st) == 0;
    }
    static std::string read(const std::string& p)
    {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The file's lines without their line feeds; none for a missing file.
    static std::vector<std::string> lines(const std::string& p)
    {
        std::vector<std::string> out;
        std::ifstream in(p);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

private:
    std::string path_;
};

}  // namespace testsupport
