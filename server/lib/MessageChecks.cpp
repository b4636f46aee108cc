#include "MessageChecks.h"

#include "JsonReader.h"

#include <cstdio>
#include <cstring>

namespace rrm {

namespace {

const char* const ap_commands[] = {
    "subscribe-request",       "unsubscribe-request",  "rrm-response",
    "rrm-mode-response",       "rrm-config-changed",   "rrm-assoc-state-changed",
    "rrm-client-assoc",        "rrm-client-disassoc",  "rrm-probe-response",
    "rrm-disassoc-all-clients", "rrm-sta-roam",
};

bool read_version(const char* text, int& major, int& minor)
{
    return std::sscanf(text, "%d.%d", &major, &minor) == 2;
}

}  // namespace

bool check_message_type(const JsonReader& message)
{
    const char* service = message.get_string("service");
    if (std::strcmp(service, "rrm-internal") == 0) {
        const char* cmd = message.get_string("cmd");
        return std::strcmp(cmd, "drop-session") == 0 ||
               std::strcmp(cmd, "stop-load-balancer") == 0;
    }
    if (std::strcmp(service, "rrm") == 0) {
        if (message.get_string("ap-mac")[0] == '\0')
            return false;
        const char* cmd = message.get_string("cmd");
        for (const char* known : ap_commands)
            if (std::strcmp(cmd, known) == 0)
                return true;
        return false;
    }
    return false;
}

bool check_message_version(const JsonReader& message, const char* reference)
{
    if (reference == nullptr)
        return false;
    int major = 0, minor = 0, ref_major = 0, ref_minor = 0;
    if (!read_version(message.get_string("version"), major, minor) ||
        !read_version(reference, ref_major, ref_minor))
        return false;
    return major == ref_major && minor <= ref_minor;
}

}  // namespace rrm
