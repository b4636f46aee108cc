#pragma once
// Runs the stand-in klish shell (clish_standin) with the plug-in
// clish_plugin_radmon and a list of commands, and collects what it printed:
// the commands' own lines and "result: N" after each one on standard output,
// perror lines on standard error.

#include "LogFolder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if !defined(CLISH_STANDIN) || !defined(RADMON_PLUGIN)
#error "CLISH_STANDIN and RADMON_PLUGIN must name the stand-in shell and the plug-in"
#endif

namespace testsupport {

struct ClishRun {
    std::string out;
    std::string err;
    bool exited = false;  // by exit(); otherwise killed by a signal
    int code = -1;        // exit status, or the signal's number
};

// One command: the klish symbol and the script text klish would pass.
using ClishCommand = std::pair<std::string, std::string>;

// Runs the shell with `options` (before the plug-in path) and the commands,
// in one process, in order. `preload`, when given, is a library preloaded into
// the shell (LD_PRELOAD). A shell still running after `timeout` is killed.
inline ClishRun run_clish(const std::vector<ClishCommand>& commands,
                          const std::vector<std::string>& options = {},
                          const std::string& preload = "",
                          std::chrono::seconds timeout = std::chrono::seconds(120))
{
    LogFolder folder;
    const std::string out_path = folder / "out";
    const std::string err_path = folder / "err";
    std::vector<std::string> args{CLISH_STANDIN};
    args.insert(args.end(), options.begin(), options.end());
    args.emplace_back(RADMON_PLUGIN);
    for (const auto& command : commands) {
        args.push_back(command.first);
        args.push_back(command.second);
    }
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    std::string asan_options;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("ASAN_OPTIONS=", 0) == 0)
            asan_options = entry.substr(13) + ":";
        else if (preload.empty() || entry.rfind("LD_PRELOAD=", 0) != 0)
            env_text.push_back(entry);
    }
    if (!preload.empty()) {
        env_text.push_back("LD_PRELOAD=" + preload);
        // The sanitizer runtime then no longer comes first, which is fine here.
        asan_options += "verify_asan_link_order=0:";
    }
    if (!asan_options.empty())
        env_text.push_back("ASAN_OPTIONS=" + asan_options);
    std::vector<char*> envp;
    for (auto& e : env_text)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0)
        throw std::runtime_error("cannot create output files");
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
            ::_exit(127);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);

    int status = 0;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ClishRun run;
    run.out = LogFolder::read(out_path);
    run.err = LogFolder::read(err_path);
    run.exited = WIFEXITED(status);
    run.code = run.exited ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    return run;
}

// The shell's stdout for one command that printed `printed` and returned
// `result`.
inline std::string clish_result(const std::string& printed, int result)
{
    return printed + "result: " + std::to_string(result) + "\n";
}

}  // namespace testsupport
