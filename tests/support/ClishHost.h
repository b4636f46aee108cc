#pragma once
// Runs the stand-in klish shell (clish_standin) with the plug-in
// clish_plugin_radmon and a list of commands, and collects what it printed:
// the commands' own lines and "result: N" after each one on standard output,
// perror lines on standard error. run_captured runs any other program so.

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

// The test's own environment for a child process, with `set` (NAME=VALUE
// entries) replacing the entries of those names and `asan_options` added
// to the inherited ASAN_OPTIONS.
inline std::vector<std::string> child_environment(const std::vector<std::string>& set,
                                                  const std::string& asan_options = "")
{
    std::vector<std::string> env;
    std::string inherited_asan;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("ASAN_OPTIONS=", 0) == 0) {
            inherited_asan = entry.substr(13);
            continue;
        }
        bool replaced = false;
        for (const std::string& s : set)
            replaced = replaced || entry.compare(0, s.find('=') + 1, s, 0, s.find('=') + 1) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), set.begin(), set.end());
    std::string asan = inherited_asan;
    if (!asan_options.empty())
        asan += (asan.empty() ? "" : ":") + asan_options;
    if (!asan.empty())
        env.push_back("ASAN_OPTIONS=" + asan);
    return env;
}

// Runs args[0] with the arguments after it and the environment `env`,
// collecting its standard output and error. A program still running after
// `timeout` is killed.
inline ClishRun run_captured(const std::vector<std::string>& args,
                             const std::vector<std::string>& env,
                             std::chrono::seconds timeout = std::chrono::seconds(120))
{
    LogFolder folder;
    const std::string out_path = folder / "out";
    const std::string err_path = folder / "err";
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env)
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
        const int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in < 0 || ::dup2(null_in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
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

// Runs the stand-in shell with `options` (before the plug-in path) and the
// commands, in one process, in order. `preload`, when given, is a library
// preloaded into the shell (LD_PRELOAD). A shell still running after
// `timeout` is killed.
inline ClishRun run_clish(const std::vector<ClishCommand>& commands,
                          const std::vector<std::string>& options = {},
                          const std::string& preload = "",
                          std::chrono::seconds timeout = std::chrono::seconds(120))
{
    std::vector<std::string> args{CLISH_STANDIN};
    args.insert(args.end(), options.begin(), options.end());
    args.emplace_back(RADMON_PLUGIN);
    for (const auto& command : commands) {
        args.push_back(command.first);
        args.push_back(command.second);
    }
    if (preload.empty())
        return run_captured(args, child_environment({}), timeout);
    // The sanitizer runtime then no longer comes first, which is fine here.
    return run_captured(args, child_environment({"LD_PRELOAD=" + preload}, "verify_asan_link_order=0"),
                        timeout);
}

// The shell's stdout for one command that printed `printed` and returned
// `result`.
inline std::string clish_result(const std::string& printed, int result)
{
    return printed + "result: " + std::to_string(result) + "\n";
}

}  // namespace testsupport
