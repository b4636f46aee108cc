#pragma once
// The real klish 2.1 shell with the plug-in clish_plugin_radmon. klish is not
// packaged: bash scripts/klish builds it, and the tests find it through the
// environment variable WENDARA_KLISH_PREFIX (its install prefix, holding
// bin/clish), which scripts/test sets and CTest passes on.
//
//     KlishShell shell(clish, xml);              // the XML configuration, whole
//     ClishRun run = shell.lines({"rrm-show-all"});   // clish -c ... -c ...
//     KlishTerminal term(shell);                 // clish on a terminal, for completion
//
// The plug-in is found as the XML names it: by its path, or by its bare file
// name in the folder it was built in (LD_LIBRARY_PATH). In sanitizer builds
// the plug-in needs the sanitizer's runtime, which klish was not built with:
// it is preloaded.

#include "ClishHost.h"

#include <poll.h>
#include <pty.h>
#include <sys/stat.h>

#include <cstdlib>

#ifndef KLISH_SANITIZER_PRELOAD
#define KLISH_SANITIZER_PRELOAD ""
#endif

namespace testsupport {

// bin/clish under WENDARA_KLISH_PREFIX; "" when there is none, with the
// reason in `why`.
inline std::string find_clish(std::string& why)
{
    const char* prefix = std::getenv("WENDARA_KLISH_PREFIX");
    if (prefix == nullptr || *prefix == '\0') {
        why = "no klish: WENDARA_KLISH_PREFIX is not set (bash scripts/klish builds klish and "
              "prints the prefix)";
        return "";
    }
    const std::string clish = std::string(prefix) + "/bin/clish";
    if (::access(clish.c_str(), X_OK) != 0) {
        why = "no klish: " + clish + " is missing";
        return "";
    }
    return clish;
}

class KlishShell {
public:
    KlishShell(std::string clish, const std::string& xml) : clish_(std::move(clish))
    {
        folder_.write("wendara.xml", xml);
    }

    // clish runs `lines` given with -c, in order; its exit status is the
    // last command's result (255 for -1), nothing but what the commands
    // print reaches standard output. `options` come first (-k: check mode).
    ClishRun lines(const std::vector<std::string>& lines,
                   const std::vector<std::string>& options = {}) const
    {
        std::vector<std::string> args = base_args(options);
        for (const std::string& line : lines) {
            args.emplace_back("-c");
            args.push_back(line);
        }
        return run_captured(args, environment());
    }

    // clish runs the script file holding `text` (one command a line), with
    // -q so that it does not echo the lines.
    ClishRun script(const std::string& text, const std::vector<std::string>& options = {}) const
    {
        const std::string path = folder_.write("script.txt", text);
        std::vector<std::string> args = base_args(options);
        args.emplace_back("-q");
        args.push_back(path);
        return run_captured(args, environment());
    }

    const std::string& clish() const { return clish_; }
    std::string xml_folder() const { return folder_.path(); }

    // The environment clish runs in. klish's own libraries are named too:
    // klish finds its built-in plug-in through the run path of the library
    // that opens it, which a preloaded sanitizer runtime hides.
    std::vector<std::string> environment() const
    {
        std::string plugin_dir = RADMON_PLUGIN;
        plugin_dir.erase(plugin_dir.rfind('/'));
        std::string klish_lib = clish_;
        klish_lib.erase(klish_lib.rfind("/bin/clish"));
        klish_lib += "/lib";
        std::vector<std::string> set{"LD_LIBRARY_PATH=" + plugin_dir + ":" + klish_lib, "TERM=vt100"};
        const std::string preload = KLISH_SANITIZER_PRELOAD;
        if (preload.empty())
            return child_environment(set);
        set.push_back("LD_PRELOAD=" + preload);
        return child_environment(set, "verify_asan_link_order=0");
    }

private:
    std::vector<std::string> base_args(const std::vector<std::string>& options) const
    {
        // -l: no lock file shared with other shells on the machine.
        std::vector<std::string> args{clish_, "-x", folder_.path(), "-l"};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }

    std::string clish_;
    LogFolder folder_;
};

// clish on a pseudo-terminal, as a user types at it: keys go in, and what the
// terminal shows (echo, completions, command output, escape sequences) is
// collected. The shell is killed when the object goes.
class KlishTerminal {
public:
    explicit KlishTerminal(const KlishShell& shell)
    {
        std::vector<std::string> args{shell.clish(), "-x", shell.xml_folder(), "-l"};
        std::vector<std::string> env = shell.environment();
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        pid_ = ::forkpty(&fd_, nullptr, nullptr, nullptr);
        if (pid_ < 0)
            throw std::runtime_error("forkpty failed");
        if (pid_ == 0) {
            ::signal(SIGPIPE, SIG_DFL);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~KlishTerminal()
    {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(fd_);
    }
    KlishTerminal(const KlishTerminal&) = delete;
    KlishTerminal& operator=(const KlishTerminal&) = delete;

    void type(const std::string& keys)
    {
        size_t done = 0;
        while (done < keys.size()) {
            const ssize_t n = ::write(fd_, keys.data() + done, keys.size() - done);
            if (n <= 0)
                throw std::runtime_error("cannot write to the terminal");
            done += static_cast<size_t>(n);
        }
    }

    // Waits until the terminal has shown `text` after everything an earlier
    // wait consumed; true when it did before the deadline. What was shown up
    // to the end of `text` is then consumed.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t at = shown_.find(text, consumed_);
            if (at != std::string::npos) {
                consumed_ = at + text.size();
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return shown_.find(text, consumed_) != std::string::npos;
            shown_.append(buffer, static_cast<size_t>(n));
        }
    }

    // Waits for the first `prompt`, runs `line` and waits for the next
    // prompt; false when either does not come.
    bool run_first(const std::string& prompt, const std::string& line)
    {
        if (!wait_for(prompt))
            return false;
        type(line + "\n");
        return wait_for(prompt);
    }

    // Everything the terminal has shown so far.
    const std::string& shown() const { return shown_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string shown_;
    size_t consumed_ = 0;
};

}  // namespace testsupport
