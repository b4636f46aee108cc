// Entry point of the wendara server: builds the process in a fixed order,
// serves until SIGINT, then takes it down in order.
//
// SIGINT is blocked in every thread from the first line of main on, and a
// thread of its own waits for it; the shutdown itself then runs on the main
// thread once the web API loop has ended, never inside a signal handler and
// never while that loop still uses the registry or the VRRP worker. A
// Ctrl-C during start-up is kept pending and ends the process in the same
// orderly way as soon as start-up is complete.

#include "ApiCli.h"
#include "ApiWeb.h"
#include "AppLog.h"
#include "Config.h"
#include "Log.h"
#include "Logger.h"
#include "RRM.h"
#include "VrrpWorker.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace {

constexpr const char* kDefaultConfigFile = "/etc/tavik-wendara/wendara.conf";
constexpr rlim_t kMaxOpenFiles = 12288;

// The process-wide objects, destroyed explicitly in the order shutdown
// needs (registry before logger, so the workers' last records are kept).
std::unique_ptr<rrm::GlobalConfig> config;
std::unique_ptr<rrm::RRM> registry;
std::unique_ptr<RRM_Logger> logger;
std::unique_ptr<std::thread> cli_thread;
std::unique_ptr<ApiCli> api_cli;
std::unique_ptr<ApiWeb> api_web;
std::unique_ptr<VrrpWorker> vrrp_worker;

// What the event handler sees of the VRRP worker: set once it exists,
// cleared before it goes. Domain worker threads read it.
std::atomic<VrrpWorker*> event_vrrp_worker{nullptr};

void server_log_handler(const char* file, int line, const char* func, int level, const char* fmt,
                        va_list args)
{
    char* text = nullptr;
    if (::vasprintf(&text, fmt, args) == -1)
        return;
    if (!text)
        return;
    el::base::Writer(static_cast<el::Level>(level), file, line, func)
            .construct(1, el::base::consts::kDefaultLoggerId)
        << text;
    std::free(text);
}

void server_event_handler(const int& code, const std::shared_ptr<std::string>& details)
{
    if (code != rrm::EVENT_DOMAIN_CHANGED)
        return;
    if (!details || details->empty())
        return;
    if (VrrpWorker* vrrp = event_vrrp_worker.load())
        vrrp->schedule_domain_backup(*details);
}

// Raises the open-file limit to at least kMaxOpenFiles; a limit already at
// or above it stays as it is.
void increase_max_fds()
{
    errno = 0;
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        limit.rlim_cur = 0;
        limit.rlim_max = 0;
    }
    if (limit.rlim_cur >= kMaxOpenFiles && limit.rlim_max >= kMaxOpenFiles)
        return;
    struct rlimit wanted;
    wanted.rlim_max = limit.rlim_max >= kMaxOpenFiles ? limit.rlim_max : kMaxOpenFiles;
    wanted.rlim_cur = limit.rlim_cur >= kMaxOpenFiles ? limit.rlim_cur : kMaxOpenFiles;
    if (::setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
        const int error = errno;
        APP_LOG(Debug) << "setrlimit() failed with errno=" << error << " " << std::strerror(error);
    }
}

// Waits for SIGINT (blocked in every thread) on a thread of its own and
// hands it to `on_signal`, once. Destroying it ends the thread.
class SignalWaiter {
public:
    explicit SignalWaiter(std::function<void()> on_signal) : on_signal_(std::move(on_signal))
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
        if (signal_fd_ < 0)
            throw std::system_error(errno, std::generic_category(), "signalfd");
        wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
        if (wake_fd_ < 0) {
            const int error = errno;
            ::close(signal_fd_);
            throw std::system_error(error, std::generic_category(), "eventfd");
        }
        thread_ = std::thread([this] { wait(); });
    }
    ~SignalWaiter()
    {
        const uint64_t one = 1;
        if (::write(wake_fd_, &one, sizeof one) < 0) {
            // The eventfd cannot be full after a single write.
        }
        thread_.join();
        ::close(wake_fd_);
        ::close(signal_fd_);
    }
    SignalWaiter(const SignalWaiter&) = delete;
    SignalWaiter& operator=(const SignalWaiter&) = delete;

private:
    void wait()
    {
        pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        bool signalled = false;
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents)
                return;
            if (fds[0].revents) {
                signalfd_siginfo info;
                if (::read(signal_fd_, &info, sizeof info) != sizeof info)
                    continue;
                if (!signalled) {
                    signalled = true;
                    on_signal_();
                }
            }
        }
    }

    std::function<void()> on_signal_;
    int signal_fd_ = -1;
    int wake_fd_ = -1;
    std::thread thread_;
};

std::unique_ptr<SignalWaiter> signal_waiter;

// The SIGINT shutdown, run on the main thread after the web API loop has
// ended (or after a start-up error, for whatever was started).
void stop_services()
{
    // No one may ask the web loop to stop once it is being taken down.
    signal_waiter.reset();
    if (api_cli)
        api_cli->stop();
    if (cli_thread && cli_thread->joinable())
        cli_thread->join();
    registry.reset();
}

// Objects that neither log nor run threads any more; the configuration is
// not written back here.
void release_objects()
{
    event_vrrp_worker.store(nullptr);
    vrrp_worker.reset();
    api_web.reset();
    api_cli.reset();
    cli_thread.reset();
    config.reset();
}

std::string error_text(const char* what, int error)
{
    std::string text = what;
    if (error != 0)
        text += ", errno=" + std::to_string(error) + ": " + std::strerror(error);
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    // Blocks of 128 KiB and more (AP texts being reassembled, large parsed
    // messages) are mapped on their own and given back to the system when
    // freed. Left to itself, malloc raises that threshold after the first
    // such block is freed and then keeps bursts of large messages in its
    // heap for good.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    sigset_t sigint;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sigint, nullptr);

    RRM_Logger::move_stale_log_file();
    try {
        logger = std::make_unique<RRM_Logger>();
    } catch (const std::exception& e) {
        std::cerr << "wendara: " << __func__ << ": " << error_text(e.what(), errno) << std::endl;
        return 1;
    }

    try {
        const std::string config_path = argc > 1 ? argv[1] : kDefaultConfigFile;
        rrm::set_log_handler(&server_log_handler);
        rrm::set_event_handler(&server_event_handler);
        // Records of the levels the logger leaves out are not even made: a
        // domain's 802.11r planning alone writes several Trace records per
        // link, and a large domain holds millions of links.
        if (el::Logger* records = el::Loggers::getLogger(el::base::consts::kDefaultLoggerId, false)) {
            int levels = 0;
            for (int level : {rrm::LOG_LEVEL_TRACE, rrm::LOG_LEVEL_DEBUG, rrm::LOG_LEVEL_ERROR,
                              rrm::LOG_LEVEL_WARNING, rrm::LOG_LEVEL_INFO})
                if (records->enabled(static_cast<el::Level>(level)))
                    levels |= level;
            rrm::set_log_levels(levels);
        }

        config = std::make_unique<rrm::GlobalConfig>(config_path);
        increase_max_fds();
        registry = std::make_unique<rrm::RRM>(config.get());
        vrrp_worker = std::make_unique<VrrpWorker>(registry.get(), config.get());
        event_vrrp_worker.store(vrrp_worker.get());
        api_cli = std::make_unique<ApiCli>(registry.get(), vrrp_worker.get());
        api_web = std::make_unique<ApiWeb>(registry.get(), vrrp_worker.get());
        if (!api_web->is_running()) {
            // A server that cannot serve its management port has failed.
            errno = 0;
            std::string text =
                "Cannot create the web API server on port " + std::to_string(api_web->port());
            if (api_web->uses_https())
                text += " with HTTPS (certificate " + api_web->cert_file() + ", key " +
                        api_web->key_file() + ")";
            else
                text += " with plain HTTP";
            throw std::runtime_error(text);
        }

        ApiWeb* web = api_web.get();
        signal_waiter = std::make_unique<SignalWaiter>([web] { web->request_stop(); });

        registry->start();
        vrrp_worker->set_vrrp_role_on_start();
        ApiCli* cli = api_cli.get();
        cli_thread = std::make_unique<std::thread>([cli] { cli->run(); });

        api_web->run();
    } catch (const std::exception& e) {
        const int error = errno;
        const std::string text = error_text(e.what(), error);
        std::cerr << "wendara: " << __func__ << ": " << text << std::endl;
        APP_LOG(Error) << text;
        stop_services();
        logger.reset();
        release_objects();
        return 1;
    }

    stop_services();
    logger.reset();
    release_objects();
    return 0;
}
