#pragma once
// Runs the real wendara binary for a program-level test, without touching
// the machine's own /etc/tavik-wendara and /var/log/tavik-wendara.
//
// How the fixed locations are replaced (tests run as root, here and in CI):
// the child process enters a mount namespace of its own (unshare
// CLONE_NEWNS) and makes every mount private, so nothing it mounts is seen
// outside it and everything disappears when the process ends. It mounts a
// small tmpfs on a scratch folder of the test, then, for each fixed folder:
//   - when the folder exists on the host, the test's folder is bind-mounted
//     over it;
//   - when it does not, an overlay is mounted over its parent (/etc or
//     /var/log: the host's folder as the read-only lower layer, the upper
//     layer on the tmpfs), the folder is created in that overlay and the
//     test's folder is bind-mounted over it.
// Either way the host's file systems are never written: the overlay's
// writes land on the tmpfs, which lives only as long as the namespace.
// Each test has its own namespace and temporary folders, so program tests
// run in parallel; configurations use free loopback ports and temporary
// report, backup and state-file paths.
//
// The test sees the program's files in its own folders: etc() stands for
// /etc/tavik-wendara, log() for /var/log/tavik-wendara, work() holds the
// configuration and anything else the test points the program at. Standard
// output and error go to files in work(). The program runs with TZ=UTC and
// with the LeakSanitizer suppressions of tests/lsan.supp (ASan builds).

#include "LogFolder.h"
#include "TestConfig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if !defined(WENDARA_BINARY) || !defined(WENDARA_SOURCE_DIR)
#error "WENDARA_BINARY and WENDARA_SOURCE_DIR must name the program and its sources"
#endif

namespace testsupport {

// Sends `request` to 127.0.0.1:port and reads until the server closes (or
// the timeout passes). Empty when no connection could be made.
inline std::string tcp_exchange(int port, const std::string& request,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        size_t sent = 0;
        while (sent < request.size()) {
            ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

// Polls `condition` every 20 ms until it holds or the timeout passes.
inline bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

class WendaraProcess : public TestConfig {
public:
    static constexpr const char* kEtcFolder = "/etc/tavik-wendara";
    static constexpr const char* kLogFolder = "/var/log/tavik-wendara";

    struct Exit {
        bool exited = false;  // by exit(); otherwise by a signal
        int code = -1;        // exit status, or the signal's number
    };

    WendaraProcess() = default;
    ~WendaraProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    WendaraProcess(const WendaraProcess&) = delete;
    WendaraProcess& operator=(const WendaraProcess&) = delete;

    // Folders standing for /etc/tavik-wendara and /var/log/tavik-wendara
    // (work() holds the configuration, see TestConfig).
    const LogFolder& etc() const { return etc_; }
    const LogFolder& log() const { return log_; }

    // A logger configuration that logs every level to the log file, each
    // record as "LEVEL source-file function: message".
    static std::string logger_config(const std::string& extra_global = "")
    {
        return "* GLOBAL:\n"
               "    FORMAT = \"%level %file %func: %msg\"\n"
               "    ENABLED = true\n"
               "    TO_FILE = true\n"
               "    TO_STANDARD_OUTPUT = false\n"
               "    MAX_LOG_FILE_SIZE = 0\n" +
               extra_global;
    }
    void write_logger_config(const std::string& text = logger_config()) const
    {
        etc_.write("wendara_logger.conf", text);
    }

    // Starts the binary with these arguments (argv[1] on). Throws when the
    // process cannot be started at all; a failure inside the namespace set-up
    // shows as exit status 127 with the reason on standard error.
    void start(const std::vector<std::string>& args)
    {
        if (pid_ > 0)
            throw std::logic_error("already started");
        const std::string scratch = work_ / ".ns";
        ::mkdir(scratch.c_str(), 0700);

        // Everything the child needs is prepared here: after fork only
        // system calls are made.
        Plan plan;
        plan.scratch = scratch;
        plan.fd_limit = fd_limit_;
        add_mount(plan, kEtcFolder, etc_.path(), "etc");
        add_mount(plan, kLogFolder, log_.path(), "log");
        std::vector<std::string> argv_text{binary_};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_text)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> env_text;
        std::string lsan_options;
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "LSAN_OPTIONS=", 13) == 0)
                lsan_options = std::string(*e + 13) + ":";
            else if (std::strncmp(*e, "TZ=", 3) != 0)
                env_text.emplace_back(*e);
        }
        env_text.emplace_back("TZ=UTC");
        env_text.emplace_back("LSAN_OPTIONS=" + lsan_options + "suppressions=" +
                              WENDARA_SOURCE_DIR "/tests/lsan.supp");
        std::vector<char*> envp;
        for (auto& e : env_text)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);

        int out = ::open(stdout_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = ::open(stderr_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0)
            throw std::runtime_error("cannot create output files");

        pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0)
            run_child(plan, out, err, argv.data(), envp.data());
        ::close(out);
        ::close(err);
        pid_ = pid;
    }

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !reaped_; }

    void signal(int sig) const
    {
        if (pid_ > 0 && !reaped_)
            ::kill(pid_, sig);
    }
    void interrupt() const { signal(SIGINT); }

    // Waits for the process to end; a process still running after the
    // timeout is killed (SIGKILL) and reported as such.
    Exit wait(std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        if (pid_ <= 0)
            throw std::logic_error("not started");
        if (!reaped_) {
            int status = 0;
            const bool ended = wait_until(
                [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
            if (!ended) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
            reaped_ = true;
            if (WIFEXITED(status)) {
                exit_.exited = true;
                exit_.code = WEXITSTATUS(status);
            } else {
                exit_.exited = false;
                exit_.code = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
            }
            if (!ended)
                exit_.code = -SIGKILL;
        }
        return exit_;
    }

    std::string stdout_text() const { return LogFolder::read(stdout_path()); }
    std::string stderr_text() const { return LogFolder::read(stderr_path()); }
    // The current log file, "/var/log/tavik-wendara/wendara.log".
    std::string log_text() const { return LogFolder::read(log_ / "wendara.log"); }
    // Every file of the log folder, in name order (dated files sort by time,
    // "wendara.log" last).
    std::string all_logs_text() const
    {
        std::string all;
        for (const auto& name : log_.names())
            all += LogFolder::read(log_ / name);
        return all;
    }

    bool wait_for_stdout(const std::string& text,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) const
    {
        return wait_until([&] { return stdout_text().find(text) != std::string::npos; },
                          timeout);
    }
    bool wait_for_log(const std::string& text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const
    {
        return wait_until([&] { return all_logs_text().find(text) != std::string::npos; },
                          timeout);
    }
    bool wait_for_port(int port, std::chrono::milliseconds timeout = std::chrono::seconds(60)) const
    {
        return wait_until([&] { return port_open(port); }, timeout);
    }

    // Thread count of the running process (from /proc).
    int thread_count() const { return status_field("Threads:"); }
    // Resident memory now and at its peak, in KiB.
    long rss_kib() const { return status_field("VmRSS:"); }
    long peak_rss_kib() const { return status_field("VmHWM:"); }
    // CPU time the process has used so far, in seconds.
    double cpu_seconds() const
    {
        const std::string stat = LogFolder::read("/proc/" + std::to_string(pid_) + "/stat");
        // The fields after the command name, which is in parentheses.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            return -1;
        std::vector<std::string> fields;
        size_t at = close + 2;
        while (at < stat.size()) {
            const size_t space = stat.find(' ', at);
            fields.push_back(stat.substr(at, space == std::string::npos ? std::string::npos : space - at));
            if (space == std::string::npos)
                break;
            at = space + 1;
        }
        if (fields.size() < 13)
            return -1;
        // utime and stime are the 14th and 15th fields of the line.
        const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
        return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    // Another build of the program to run (a benchmark's peer); the one
    // built with the tests by default.
    void set_binary(const std::string& path) { binary_ = path; }

    // The open-file limit (soft and hard) the program starts with; it also
    // loses the capability to raise it. 0 leaves the test's own limit.
    void set_fd_limit(rlim_t limit) { fd_limit_ = limit; }

private:
    long status_field(const char* name) const
    {
        const std::string status = LogFolder::read("/proc/" + std::to_string(pid_) + "/status");
        const size_t at = status.find(name);
        return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(name));
    }

    struct MountStep {
        std::string target;  // the fixed folder
        std::string source;  // the test's folder
        bool exists = false;
        std::string parent;
        std::string overlay_options;
        std::string upper, workdir;
    };
    struct Plan {
        std::string scratch;
        std::vector<MountStep> steps;
        rlim_t fd_limit = 0;
    };

    std::string stdout_path() const { return work_ / ".stdout"; }
    std::string stderr_path() const { return work_ / ".stderr"; }

    static void add_mount(Plan& plan, const std::string& target, const std::string& source,
                          const std::string& tag)
    {
        MountStep step;
        step.target = target;
        step.source = source;
        struct stat st;
        step.exists = ::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        step.parent = target.substr(0, target.rfind('/'));
        step.upper = plan.scratch + "/" + tag + "-upper";
        step.workdir = plan.scratch + "/" + tag + "-work";
        step.overlay_options =
            "lowerdir=" + step.parent + ",upperdir=" + step.upper + ",workdir=" + step.workdir;
        plan.steps.push_back(step);
    }

    [[noreturn]] static void fail(int err_fd, const char* what, const char* path)
    {
        const char* reason = std::strerror(errno);
        const char* parts[] = {"namespace set-up: ", what, " ", path, ": ", reason, "\n"};
        for (const char* p : parts)
            if (::write(err_fd, p, std::strlen(p)) < 0)
                break;
        ::_exit(127);
    }

    [[noreturn]] static void run_child(const Plan& plan, int out, int err, char** argv,
                                       char** envp)
    {
        if (::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);

        if (::unshare(CLONE_NEWNS) != 0)
            fail(2, "unshare", "");
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail(2, "make-rprivate", "/");
        if (::mount("tmpfs", plan.scratch.c_str(), "tmpfs", 0, "size=16m,mode=0700") != 0)
            fail(2, "tmpfs", plan.scratch.c_str());
        for (const MountStep& step : plan.steps) {
            if (!step.exists) {
                if (::mkdir(step.upper.c_str(), 0755) != 0 ||
                    ::mkdir(step.workdir.c_str(), 0755) != 0)
                    fail(2, "mkdir", step.upper.c_str());
                if (::mount("overlay", step.parent.c_str(), "overlay", 0,
                            step.overlay_options.c_str()) != 0)
                    fail(2, "overlay", step.parent.c_str());
                if (::mkdir(step.target.c_str(), 0755) != 0 && errno != EEXIST)
                    fail(2, "mkdir", step.target.c_str());
            }
            if (::mount(step.source.c_str(), step.target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                fail(2, "bind", step.target.c_str());
        }
        if (plan.fd_limit != 0) {
            // Without the capability the program cannot lift the limit
            // itself, as on a host that does not grant it.
            const rlimit limit{plan.fd_limit, plan.fd_limit};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
                fail(2, "setrlimit", "RLIMIT_NOFILE");
            if (::prctl(PR_CAPBSET_DROP, CAP_SYS_RESOURCE, 0, 0, 0) != 0)
                fail(2, "prctl", "PR_CAPBSET_DROP");
        }
        ::execve(argv[0], argv, envp);
        fail(2, "execve", argv[0]);
    }

    LogFolder etc_;
    LogFolder log_;
    std::string binary_ = WENDARA_BINARY;
    rlim_t fd_limit_ = 0;
    pid_t pid_ = -1;
    bool reaped_ = false;
    Exit exit_;
};

}  // namespace testsupport
