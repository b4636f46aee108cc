/*
 * clish_plugin_radmon: klish commands that show and change the state of a
 * running wendara server through its TCP management API on 127.0.0.1.
 *
 * Each command builds one JSON request, sends it over a connection of its
 * own, reads the reply until the server closes the connection and prints what
 * it found. Results: 0 on success, -1 on failure. Transport failures are
 * reported on standard error with perror ("socket", "connect", "send",
 * "recv"); everything else goes to standard output.
 */
#define _GNU_SOURCE

#include <clish/plugin.h>

#include <json-c/json.h>

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* The server's TCP API port; changed by "rrm-api-cli-port" only. */
static int port = 8082;

/*
 * How long one exchange (connect, send, reply) may take in all. A server that
 * takes the connection and never answers would otherwise hang the shell.
 */
enum { EXCHANGE_TIME_LIMIT_MS = 10000 };

/* Larger replies are refused rather than read without end. */
enum { REPLY_SIZE_LIMIT = 64 * 1024 * 1024 };

/* ---- transport ---- */

static long long monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/*
 * Waits until `fd` has one of `events` (or an error or hang-up, which the
 * following call then reports). 0 when ready; -1 with errno set when the
 * deadline passed (ETIMEDOUT) or poll failed.
 */
static int wait_for(int fd, short events, long long deadline)
{
    for (;;) {
        const long long left = deadline - monotonic_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd entry = {fd, events, 0};
        const int n = poll(&entry, 1, left > INT_MAX ? INT_MAX : (int)left);
        if (n > 0)
            return 0;
        if (n == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != EINTR)
            return -1;
    }
}

static int connect_local(int fd, long long deadline)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    inet_aton("127.0.0.1", &addr.sin_addr);
    if (connect(fd, (const struct sockaddr *)&addr, sizeof addr) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return -1;
    if (wait_for(fd, POLLOUT, deadline) != 0)
        return -1;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

/* Sends all of it; a short send goes on with the rest. */
static int send_all(int fd, const char *text, size_t length, long long deadline)
{
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = send(fd, text + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += (size_t)n;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_for(fd, POLLOUT, deadline) != 0)
                return -1;
        } else if (n < 0 && errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

/* Reads until the server closes; the text is NUL-terminated. */
static char *receive_all(int fd, long long deadline, size_t *length)
{
    size_t capacity = 4096, used = 0;
    char *text = malloc(capacity);
    if (text == NULL)
        return NULL;
    for (;;) {
        if (used + 1 == capacity) {
            if (capacity >= REPLY_SIZE_LIMIT) {
                free(text);
                errno = EMSGSIZE;
                return NULL;
            }
            char *bigger = realloc(text, capacity * 2);
            if (bigger == NULL) {
                free(text);
                errno = ENOMEM;
                return NULL;
            }
            text = bigger;
            capacity *= 2;
        }
        const ssize_t n = recv(fd, text + used, capacity - used - 1, 0);
        if (n > 0) {
            used += (size_t)n;
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (wait_for(fd, POLLIN, deadline) != 0) {
                const int error = errno;
                free(text);
                errno = error;
                return NULL;
            }
        } else if (errno != EINTR) {
            const int error = errno;
            free(text);
            errno = error;
            return NULL;
        }
    }
    text[used] = '\0';
    *length = used;
    return text;
}

/*
 * The whole text must be one JSON value (blanks may follow it). An empty
 * reply (the server closed without answering) and a text that does not parse
 * give NULL with errno ENODATA or EBADMSG.
 */
static json_object *parse_reply(const char *text, size_t length)
{
    if (length == 0) {
        errno = ENODATA;
        return NULL;
    }
    json_tokener *tokener = json_tokener_new();
    if (tokener == NULL) {
        errno = ENOMEM;
        return NULL;
    }
    json_object *reply = json_tokener_parse_ex(tokener, text, (int)length);
    int ok = json_tokener_get_error(tokener) == json_tokener_success;
    if (ok) {
        for (size_t i = json_tokener_get_parse_end(tokener); i < length; ++i)
            if (strchr(" \t\r\n", text[i]) == NULL)
                ok = 0;
    }
    json_tokener_free(tokener);
    if (!ok) {
        json_object_put(reply);
        errno = EBADMSG;
        return NULL;
    }
    return reply;
}

/* Fails with perror(step), keeping errno across the close. */
static json_object *fail_exchange(const char *step, int fd)
{
    const int error = errno;
    if (fd >= 0)
        close(fd);
    errno = error;
    perror(step);
    return NULL;
}

/*
 * One exchange with the server: the request text out, the reply object in
 * (the caller releases it), or NULL after the perror line.
 */
static json_object *execute_rrm_command(const char *cmd)
{
    const long long deadline = monotonic_ms() + EXCHANGE_TIME_LIMIT_MS;
    const size_t length = strlen(cmd);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail_exchange("socket", -1);
    if (connect_local(fd, deadline) != 0)
        return fail_exchange("connect", fd);
    if (send_all(fd, cmd, length, deadline) != 0)
        return fail_exchange("send", fd);
    size_t reply_length = 0;
    char *text = receive_all(fd, deadline, &reply_length);
    if (text == NULL)
        return fail_exchange("recv", fd);
    json_object *reply = parse_reply(text, reply_length);
    free(text);
    if (reply == NULL)
        return fail_exchange("recv", fd);
    close(fd);
    return reply;
}

/* Sends the request in json-c's plain form and releases it. */
static json_object *send_request(json_object *request)
{
    const char *text = json_object_to_json_string_ext(request, JSON_C_TO_STRING_PLAIN);
    json_object *reply = NULL;
    if (text != NULL)
        reply = execute_rrm_command(text);
    json_object_put(request);
    return reply;
}

/* ---- reply readers ---- */

int get_int(json_object *msg, const char *name)
{
    json_object *value = NULL;
    if (!json_object_object_get_ex(msg, name, &value) || value == NULL)
        return 0;
    return json_object_get_int(value);
}

const char *get_string(json_object *msg, const char *name)
{
    json_object *value = NULL;
    if (json_object_object_get_ex(msg, name, &value) &&
        json_object_is_type(value, json_type_string) && json_object_get_string_len(value) > 0)
        return json_object_get_string(value);
    return "";
}

/* The member `name` when it has type `type`, else NULL. */
static json_object *member_of_type(json_object *msg, const char *name, json_type type)
{
    json_object *value = NULL;
    if (json_object_object_get_ex(msg, name, &value) && json_object_is_type(value, type))
        return value;
    return NULL;
}

/* A string element's text; "" for anything else. */
static const char *text_of(json_object *value)
{
    if (json_object_is_type(value, json_type_string))
        return json_object_get_string(value);
    return "";
}

static json_object *new_object_in(json_object *parent, const char *key)
{
    json_object *child = json_object_new_object();
    json_object_object_add(parent, key, child);
    return child;
}

static void add_text(json_object *object, const char *key, const char *text)
{
    json_object_object_add(object, key, json_object_new_string(text));
}

/*
 * Splits a two-line script: `first` is the text up to the first newline,
 * `second` the next word (ending at a blank or newline). Returns a copy of the
 * script that the two point into (the caller frees it), or NULL when either
 * part is missing.
 */
static char *split_script(const char *script, const char **first, const char **second)
{
    if (script == NULL)
        return NULL;
    char *copy = strdup(script);
    if (copy == NULL)
        return NULL;
    char *state = NULL;
    *first = strtok_r(copy, "\n", &state);
    *second = *first ? strtok_r(NULL, " \n", &state) : NULL;
    if (*first == NULL || *second == NULL) {
        free(copy);
        return NULL;
    }
    return copy;
}

/* ---- settings ---- */

/* The server-section keys; every other setter key is a domain setting. */
static int is_server_key(const char *param)
{
    static const char *const keys[] = {"enabled", "listen_port", "cli_api_port", "use_https"};
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i)
        if (strcmp(param, keys[i]) == 0)
            return 1;
    return 0;
}

/*
 * Whether the server would apply `param` at `level`: server keys only at
 * "global", domain settings only in the common settings or a domain, and
 * "domain_limit" nowhere (the server has no such setting). Anything else would
 * be ignored by the server while it answers as if it had applied it.
 */
static int server_applies(const char *param, const char *level)
{
    if (strcmp(param, "domain_limit") == 0)
        return 0;
    return is_server_key(param) == (strcmp(level, "global") == 0);
}

/*
 * Reads `text` whole as a decimal integer: an optional sign, then digits only,
 * within the range of a long. 0 on success, -1 otherwise.
 */
static int read_decimal(const char *text, long *value)
{
    const char *digits = text + (*text == '-' || *text == '+');
    if (*digits == '\0')
        return -1;
    for (const char *c = digits; *c != '\0'; ++c)
        if (*c < '0' || *c > '9')
            return -1;
    errno = 0;
    *value = strtol(text, NULL, 10);
    return errno == 0 ? 0 : -1;
}

static int rrm_cfg_set_param(const char *param, const char *script)
{
    const char *level = NULL, *value = NULL;
    char *parts = split_script(script, &level, &value);
    if (parts == NULL)
        return -1;
    /* A mistyped value ("off", "1O") must not reach the server as 0. */
    long number = 0;
    if (read_decimal(value, &number) != 0) {
        printf("Invalid value '%s' for %s\n", value, param);
        free(parts);
        return -1;
    }
    if (!server_applies(param, level)) {
        printf("Error while setting %s = %s(%s)\n", param, value, level);
        free(parts);
        return -1;
    }

    json_object *request = json_object_new_object();
    json_object *cfg = new_object_in(request, "cfg");
    json_object *config = new_object_in(cfg, "config");
    json_object_object_add(config, param, json_object_new_int64(number));
    add_text(cfg, "operation", "set");
    if (strcmp(level, "global") == 0) {
        add_text(cfg, "level", "global");
    } else if (strcmp(level, "common") == 0) {
        /* The common settings are the pattern "common" to the server. */
        add_text(cfg, "level", "pattern");
        add_text(cfg, "pattern", "common");
    } else {
        add_text(cfg, "level", "domain");
        add_text(cfg, "domain", level);
    }
    json_object *reply = send_request(request);
    if (reply == NULL) {
        free(parts);
        return -1;
    }

    int result = -1;
    json_object *invalid = member_of_type(reply, "invalid_parameters", json_type_array);
    /* Only a set that ran answers with its operation; anything else applied nothing. */
    if (invalid == NULL || strcmp(get_string(reply, "operation"), "set") != 0) {
        printf("Error while setting %s = %s(%s)\n", param, value, level);
    } else if (json_object_array_length(invalid) > 0) {
        printf("Invalid value '%s' for %s\n", value, param);
    } else {
        printf("'%s' was successfully changed.\n", param);
        result = 0;
    }
    json_object_put(reply);
    free(parts);
    return result;
}

#define RADMON_SETTER(function, key)             \
    CLISH_PLUGIN_SYM(function)                   \
    {                                            \
        (void)clish_context;                     \
        (void)out;                               \
        return rrm_cfg_set_param(key, script);   \
    }

RADMON_SETTER(rrm_cfg_rrm_enable, "enabled")
RADMON_SETTER(rrm_cfg_domain_limit, "domain_limit")
RADMON_SETTER(rrm_cfg_listen_port, "listen_port")
RADMON_SETTER(rrm_cfg_cli_api_port, "cli_api_port")
RADMON_SETTER(rrm_cfg_https, "use_https")
RADMON_SETTER(rrm_cfg_tavik_rrm_scan, "use_tavik_rrm_scan")
RADMON_SETTER(rrm_cfg_tavik_hd_mode, "use_hd_mode")
RADMON_SETTER(rrm_cfg_away_timeout, "away_timeout")
RADMON_SETTER(rrm_cfg_tpc, "use_tpc")
RADMON_SETTER(rrm_cfg_ap_rssi_threshold_2g, "ap_rssi_threshold_2g")
RADMON_SETTER(rrm_cfg_ap_rssi_threshold_5g, "ap_rssi_threshold_5g")
RADMON_SETTER(rrm_cfg_ap_rssi_threshold_6g, "ap_rssi_threshold_6g")
RADMON_SETTER(rrm_cfg_hysteresis_2g, "hysteresis_2g")
RADMON_SETTER(rrm_cfg_hysteresis_5g, "hysteresis_5g")
RADMON_SETTER(rrm_cfg_hysteresis_6g, "hysteresis_6g")
RADMON_SETTER(rrm_cfg_dca, "use_dca")
RADMON_SETTER(rrm_cfg_balance, "use_balance")
RADMON_SETTER(rrm_cfg_blacklist_threshold_high, "blacklist_thr_high")
RADMON_SETTER(rrm_cfg_blacklist_threshold_low, "blacklist_thr_low")
RADMON_SETTER(rrm_cfg_load_balance_sta_high, "load_balance_sta_high")
RADMON_SETTER(rrm_cfg_load_balance_sta_low, "load_balance_sta_low")
RADMON_SETTER(rrm_cfg_use_all_ap_balance, "use_all_ap_balance")

/* ---- port ---- */

CLISH_PLUGIN_SYM(rrm_api_cli_port)
{
    (void)clish_context;
    (void)out;
    const char *text = script ? script : "";
    char *end = NULL;
    errno = 0;
    const long value = strtol(text, &end, 10);
    while (end != text && *end != '\0' && strchr(" \t\r\n", *end) != NULL)
        ++end;
    if (end == text || *end != '\0' || errno == ERANGE || value < 1 || value > 65535) {
        printf("Invalid value '%s' for api_cli port\n", text);
        return -1;
    }
    port = (int)value;
    return 0;
}

CLISH_PLUGIN_SYM(rrm_show_api_cli_port)
{
    (void)clish_context;
    (void)script;
    (void)out;
    printf("api_cli port: %d\n", port);
    return 0;
}

/* ---- configuration ---- */

CLISH_PLUGIN_SYM(rrm_show_cfg)
{
    (void)clish_context;
    (void)out;
    if (script == NULL)
        return -1;
    json_object *request = json_object_new_object();
    json_object *cfg = new_object_in(request, "cfg");
    add_text(cfg, "operation", "get");
    if (strcmp(script, "global") == 0) {
        add_text(cfg, "level", "global");
    } else if (strcmp(script, "common") == 0) {
        add_text(cfg, "level", "pattern");
        add_text(cfg, "pattern", "common");
    } else {
        add_text(cfg, "level", "domain");
        add_text(cfg, "domain", script);
    }
    json_object *reply = send_request(request);
    if (reply == NULL)
        return -1;
    puts(json_object_to_json_string_ext(reply, JSON_C_TO_STRING_PRETTY));
    json_object_put(reply);
    return 0;
}

static json_object *get_domain_configs(void)
{
    json_object *request = json_object_new_object();
    json_object *cfg = new_object_in(request, "cfg");
    add_text(cfg, "operation", "get");
    add_text(cfg, "level", "domain");
    return send_request(request);
}

CLISH_PLUGIN_SYM(rrm_show_cfg_domain_list)
{
    (void)clish_context;
    (void)script;
    (void)out;
    json_object *reply = get_domain_configs();
    if (reply == NULL)
        return -1;
    json_object *domains = member_of_type(reply, "domains", json_type_array);
    if (domains == NULL) {
        json_object_put(reply);
        return -1;
    }
    puts("Domain configurations:");
    const size_t count = json_object_array_length(domains);
    for (size_t i = 0; i < count; ++i)
        printf("  \"%s\"\n", get_string(json_object_array_get_idx(domains, i), "name"));
    json_object_put(reply);
    return 0;
}

CLISH_PLUGIN_SYM(rrm_completion_domain_cfgs)
{
    (void)clish_context;
    (void)script;
    /*
     * klish gives a place for the text only when a dynamic VAR runs this;
     * bound to a command's action, there is nowhere to put it.
     */
    if (out == NULL)
        return -1;
    json_object *reply = get_domain_configs();
    if (reply == NULL)
        return -1;
    json_object *domains = member_of_type(reply, "domains", json_type_array);
    if (domains == NULL) {
        json_object_put(reply);
        return -1;
    }
    /* Every name followed by one blank; the text grows as the names need. */
    size_t capacity = 256, used = 0;
    char *text = calloc(capacity, 1);
    const size_t count = json_object_array_length(domains);
    for (size_t i = 0; text != NULL && i < count; ++i) {
        const char *name = get_string(json_object_array_get_idx(domains, i), "name");
        const size_t length = strlen(name);
        if (used + length + 2 > capacity) {
            while (used + length + 2 > capacity)
                capacity *= 2;
            char *bigger = realloc(text, capacity);
            if (bigger == NULL) {
                free(text);
                text = NULL;
                break;
            }
            text = bigger;
        }
        memcpy(text + used, name, length);
        used += length;
        text[used++] = ' ';
        text[used] = '\0';
    }
    json_object_put(reply);
    if (text == NULL)
        return -1;
    *out = text;
    return 0;
}

CLISH_PLUGIN_SYM(rrm_cfg_domain_add)
{
    (void)clish_context;
    (void)out;
    if (script == NULL)
        return -1;
    /* "domain" or "domain\npattern"; a domain without a pattern takes the common settings. */
    char *parts = strdup(script);
    if (parts == NULL)
        return -1;
    char *state = NULL;
    const char *domain = strtok_r(parts, "\n", &state);
    const char *pattern = domain ? strtok_r(NULL, " \n", &state) : NULL;
    if (domain == NULL) {
        free(parts);
        return -1;
    }
    json_object *request = json_object_new_object();
    json_object *cfg = new_object_in(request, "cfg");
    json_object *config = new_object_in(cfg, "config");
    add_text(config, "pattern", pattern ? pattern : "common");
    add_text(cfg, "operation", "add");
    add_text(cfg, "level", "domain");
    add_text(cfg, "domain", domain);
    json_object *reply = send_request(request);
    if (reply == NULL) {
        free(parts);
        return -1;
    }
    const char *status = get_string(reply, "add_status");
    int result = -1;
    if (strcasecmp(status, "Success") == 0) {
        printf("'%s' config was successfully added.\n", domain);
        result = 0;
    } else {
        printf("Error while adding new domain config %s. %s\n", domain, status);
    }
    json_object_put(reply);
    free(parts);
    return result;
}

CLISH_PLUGIN_SYM(rrm_cfg_domain_remove)
{
    (void)clish_context;
    (void)out;
    if (script == NULL)
        return -1;
    json_object *request = json_object_new_object();
    json_object *cfg = new_object_in(request, "cfg");
    add_text(cfg, "operation", "remove");
    add_text(cfg, "level", "domain");
    add_text(cfg, "domain", script);
    json_object *reply = send_request(request);
    if (reply == NULL)
        return -1;
    /* Only a remove that ran carries its status; 0 is "removed". */
    json_object *status = NULL;
    const int removed = json_object_object_get_ex(reply, "remove_status", &status) &&
                        status != NULL && json_object_get_int(status) == 0;
    if (removed)
        printf("'%s' config was successfully removed.\n", script);
    else
        printf("Error while removing domain config %s.\n", script);
    json_object_put(reply);
    return removed ? 0 : -1;
}

/* ---- domains and sessions ---- */

static json_object *get_domains(void)
{
    json_object *request = json_object_new_object();
    json_object_object_add(request, "rrm", json_object_new_object());
    return send_request(request);
}

enum domain_filter { ALL_DOMAINS, OWN_CONFIG, COMMON_CONFIG };

static int show_domains(const char *heading, enum domain_filter filter)
{
    json_object *reply = get_domains();
    if (reply == NULL)
        return -1;
    json_object *domains = member_of_type(reply, "domains", json_type_array);
    if (domains == NULL) {
        json_object_put(reply);
        return -1;
    }
    if (heading != NULL)
        puts(heading);
    const size_t count = json_object_array_length(domains);
    for (size_t i = 0; i < count; ++i) {
        json_object *domain = json_object_array_get_idx(domains, i);
        const int common = get_int(domain, "common-config") != 0;
        if ((filter == OWN_CONFIG && common) || (filter == COMMON_CONFIG && !common))
            continue;
        printf("  Domain: %s (%d active APs, %d unanswered APs, %d deleted APs)\n",
               get_string(domain, "name"), get_int(domain, "ap-count"),
               get_int(domain, "unanswered-ap-count"), get_int(domain, "deleted-ap-count"));
    }
    json_object_put(reply);
    return 0;
}

CLISH_PLUGIN_SYM(rrm_show_rrm)
{
    (void)clish_context;
    (void)script;
    (void)out;
    return show_domains(NULL, ALL_DOMAINS);
}

CLISH_PLUGIN_SYM(rrm_show_rrm_reg)
{
    (void)clish_context;
    (void)script;
    (void)out;
    return show_domains("Configured domains:", OWN_CONFIG);
}

CLISH_PLUGIN_SYM(rrm_show_rrm_unreg)
{
    (void)clish_context;
    (void)script;
    (void)out;
    return show_domains("Domains with common config:", COMMON_CONFIG);
}

CLISH_PLUGIN_SYM(rrm_show_session)
{
    (void)clish_context;
    (void)script;
    (void)out;
    json_object *request = json_object_new_object();
    json_object *rrm = new_object_in(request, "rrm");
    json_object_object_add(rrm, "sessions", json_object_new_int(1));
    json_object *reply = send_request(request);
    if (reply == NULL)
        return -1;
    json_object *sessions = member_of_type(reply, "websock-sessions", json_type_array);
    if (sessions == NULL) {
        json_object_put(reply);
        return -1;
    }
    const size_t count = json_object_array_length(sessions);
    for (size_t i = 0; i < count; ++i) {
        json_object *session = json_object_array_get_idx(sessions, i);
        printf("  Session id: %d, address: %s\n", get_int(session, "id"),
               get_string(session, "peer"));
    }
    json_object_put(reply);
    return 0;
}

/* The "details" of a domain's status reply, or NULL (the reply is then released). */
static json_object *get_domain_details(const char *domain, json_object **reply)
{
    json_object *request = json_object_new_object();
    json_object *rrm = new_object_in(request, "rrm");
    add_text(rrm, "domain", domain);
    *reply = send_request(request);
    if (*reply == NULL)
        return NULL;
    json_object *details = member_of_type(*reply, "details", json_type_object);
    if (details == NULL) {
        json_object_put(*reply);
        *reply = NULL;
    }
    return details;
}

static void print_ap_list(json_object *details, const char *name, const char *heading)
{
    json_object *aps = member_of_type(details, name, json_type_array);
    if (aps == NULL)
        return;
    const size_t count = json_object_array_length(aps);
    printf("%s (%d APs): \n", heading, (int)count);
    for (size_t i = 0; i < count; ++i) {
        json_object *ap = json_object_array_get_idx(aps, i);
        printf("\tAP: %s, %s\n", get_string(ap, "mac"), get_string(ap, "board"));
    }
}

static void print_ap_lists(json_object *details)
{
    print_ap_list(details, "aps", "Active APs");
    print_ap_list(details, "unanswered-aps", "Unanswered APs");
    print_ap_list(details, "deleted-aps", "Deleted APs");
}

CLISH_PLUGIN_SYM(rrm_show_domain)
{
    (void)clish_context;
    (void)out;
    if (script == NULL)
        return -1;
    json_object *reply = NULL;
    json_object *details = get_domain_details(script, &reply);
    if (details == NULL)
        return -1;
    printf("Domain %s:\n", get_string(details, "name"));
    printf("ap-count: %d\n", get_int(details, "ap-count"));
    printf("unanswered-ap-count: %d\n", get_int(details, "unanswered-ap-count"));
    printf("deleted-ap-count: %d\n", get_int(details, "deleted-ap-count"));
    print_ap_lists(details);
    json_object *metrics = member_of_type(details, "metrics", json_type_object);
    if (metrics != NULL)
        printf("Metrics:\n"
               "rrm-response-expected: %d us\n"
               "rrm-response-count: %d\n"
               "rrm-mode-response-expected: %d us\n"
               "rrm-mode-response-count: %d\n"
               "rrm-config-changed-expected: %d us\n"
               "rrm-config-changed-count: %d\n"
               "timer-request-modes-expected: %d us\n"
               "timer-request-modes-count: %d\n"
               "timer-request-scan-expected: %d us\n"
               "timer-request-scan-count: %d\n"
               "timer-optimize-expected: %d us\n"
               "timer-optimize-count: %d\n",
               get_int(metrics, "rrm-response-expected"), get_int(metrics, "rrm-response-count"),
               get_int(metrics, "rrm-mode-response-expected"),
               get_int(metrics, "rrm-mode-response-count"),
               get_int(metrics, "rrm-config-changed-expected"),
               get_int(metrics, "rrm-config-changed-count"),
               get_int(metrics, "timer-request-modes-expected"),
               get_int(metrics, "timer-request-modes-count"),
               get_int(metrics, "timer-request-scan-expected"),
               get_int(metrics, "timer-request-scan-count"),
               get_int(metrics, "timer-optimize-expected"),
               get_int(metrics, "timer-optimize-count"));
    json_object_put(reply);
    return 0;
}

CLISH_PLUGIN_SYM(rrm_show_list_ap)
{
    (void)clish_context;
    (void)out;
    if (script == NULL)
        return -1;
    json_object *reply = NULL;
    json_object *details = get_domain_details(script, &reply);
    if (details == NULL)
        return -1;
    print_ap_lists(details);
    json_object_put(reply);
    return 0;
}

/* ---- one AP ---- */

/* Prints one radio; -1 at the first list that is missing. */
static int print_radio(json_object *radio)
{
    printf("\tRadio %d:\n", get_int(radio, "id"));
    printf("\t\tMac: %s\n", get_string(radio, "mac"));
    printf("\t\tStatus: %d\n", get_int(radio, "status"));
    printf("\t\tPower changed: %d\n", get_int(radio, "power-changed"));
    printf("\t\tConflicted: %d\n", get_int(radio, "conflicted"));
    printf("\t\tLockedTPC: %d\n", get_int(radio, "locked-tpc"));
    printf("\t\tLockedDCA: %d\n", get_int(radio, "locked-dca"));
    printf("\t\tChannel: %d\n", get_int(radio, "channel"));
    printf("\t\tBandwidth: %d\n", get_int(radio, "bandwidth"));
    printf("\t\tPower: %d\n", get_int(radio, "power"));
    printf("\t\tMax power: %d\n", get_int(radio, "max-power"));

    json_object *channels = member_of_type(radio, "available-channels", json_type_array);
    if (channels == NULL)
        return -1;
    printf("\t\tAvailable channels:\n\t\t\t");
    const size_t channel_count = json_object_array_length(channels);
    for (size_t i = 0; i < channel_count; ++i)
        printf("%d ", json_object_get_int(json_object_array_get_idx(channels, i)));
    putchar('\n');

    /* A server that lists the VAPs instead of plain SSIDs gives each VAP's "ssid". */
    json_object *ssids = member_of_type(radio, "ssids", json_type_array);
    json_object *vaps = ssids ? NULL : member_of_type(radio, "vaps", json_type_array);
    if (ssids == NULL && vaps == NULL)
        return -1;
    printf("\t\tSSIDs:\n\t\t\t");
    json_object *list = ssids ? ssids : vaps;
    const size_t ssid_count = json_object_array_length(list);
    for (size_t i = 0; i < ssid_count; ++i) {
        json_object *element = json_object_array_get_idx(list, i);
        printf("\"%s\" ", ssids ? text_of(element) : get_string(element, "ssid"));
    }
    putchar('\n');

    json_object *stations = member_of_type(radio, "assoc_clients", json_type_array);
    if (stations == NULL)
        return -1;
    const size_t station_count = json_object_array_length(stations);
    if (station_count > 0) {
        puts("\t\tStations:");
        for (size_t i = 0; i < station_count; ++i) {
            json_object *station = json_object_array_get_idx(stations, i);
            printf("\t\t\t%s   %d   %s\n", get_string(station, "mac"),
                   get_int(station, "dbm-signal"), get_string(station, "ssid"));
        }
    }
    return 0;
}

static int print_ap(json_object *reply)
{
    static const struct {
        const char *member;
        const char *line;
    } lists[] = {
        {"active-ap", "AP at active AP list"},
        {"unanswered-ap", "AP at unanswered AP list"},
        {"deleted-ap", "AP at deleted AP list"},
    };
    json_object *ap = NULL;
    for (size_t i = 0; ap == NULL && i < sizeof lists / sizeof lists[0]; ++i) {
        if (json_object_object_get_ex(reply, lists[i].member, &ap) && ap != NULL)
            puts(lists[i].line);
        else
            ap = NULL;
    }
    if (ap == NULL)
        return -1;
    printf("AP %s:\n", get_string(ap, "mac"));
    printf("\tActive: %d\n", get_int(ap, "active"));

    json_object *radios = member_of_type(ap, "radios", json_type_object);
    if (radios == NULL)
        return -1;
    printf("\tInterfaces configuration received: %d\n", get_int(radios, "received"));
    json_object *interfaces = member_of_type(radios, "interfaces", json_type_array);
    if (interfaces == NULL)
        return -1;
    const size_t count = json_object_array_length(interfaces);
    printf("\tAP have %d radios\n", (int)count);
    for (size_t i = 0; i < count; ++i)
        if (print_radio(json_object_array_get_idx(interfaces, i)) != 0)
            return -1;
    return 0;
}

CLISH_PLUGIN_SYM(rrm_show_ap)
{
    (void)clish_context;
    (void)out;
    const char *domain = NULL, *mac = NULL;
    char *parts = split_script(script, &domain, &mac);
    if (parts == NULL)
        return -1;
    json_object *request = json_object_new_object();
    json_object *rrm = new_object_in(request, "rrm");
    add_text(rrm, "domain", domain);
    add_text(rrm, "ap", mac);
    free(parts);
    json_object *reply = send_request(request);
    if (reply == NULL)
        return -1;
    const int result = print_ap(reply);
    json_object_put(reply);
    return result;
}

/* ---- registration ---- */

/* The form every command above has, as CLISH_PLUGIN_SYM defines it. */
typedef int command_fn(void *clish_context, const char *script, char **out);

/*
 * klish runs "permanent" symbols even in its check and dry-run modes (clish
 * -k, -d), in which nothing may change on the server: only the commands that
 * leave the server as it is are registered permanent.
 */
enum command_kind { KEEPS_SERVER, CHANGES_SERVER };

CLISH_PLUGIN_INIT(clish_rrm_func)
{
    (void)clish_shell;
    static const struct {
        command_fn *function;
        const char *name;
        enum command_kind kind;
    } symbols[] = {
        {rrm_show_cfg, "rrm-show-cfg", KEEPS_SERVER},
        {rrm_show_cfg_domain_list, "rrm-show-cfg-domain-list", KEEPS_SERVER},
        {rrm_completion_domain_cfgs, "completion-domain-cfgs", KEEPS_SERVER},
        {rrm_show_rrm, "rrm-show-all", KEEPS_SERVER},
        {rrm_show_rrm_unreg, "rrm-show-unreg", KEEPS_SERVER},
        {rrm_show_rrm_reg, "rrm-show-reg", KEEPS_SERVER},
        {rrm_show_domain, "rrm-show-domain", KEEPS_SERVER},
        {rrm_show_session, "rrm-show-session", KEEPS_SERVER},
        {rrm_show_list_ap, "rrm-show-list-ap", KEEPS_SERVER},
        {rrm_show_ap, "rrm-show-ap", KEEPS_SERVER},
        {rrm_show_api_cli_port, "rrm-show-api-cli-port", KEEPS_SERVER},
        {rrm_cfg_domain_add, "rrm-cfg-domain-add", CHANGES_SERVER},
        {rrm_cfg_domain_remove, "rrm-cfg-domain-remove", CHANGES_SERVER},
        {rrm_cfg_rrm_enable, "rrm-cfg-enable", CHANGES_SERVER},
        {rrm_cfg_domain_limit, "rrm-cfg-domain-limit", CHANGES_SERVER},
        {rrm_cfg_listen_port, "rrm-cfg-listen-port", CHANGES_SERVER},
        {rrm_cfg_cli_api_port, "rrm-cfg-cli-api-port", CHANGES_SERVER},
        {rrm_cfg_https, "rrm-cfg-https", CHANGES_SERVER},
        {rrm_cfg_tavik_rrm_scan, "rrm-cfg-tavik-rrm-scan", CHANGES_SERVER},
        {rrm_cfg_tavik_hd_mode, "rrm-cfg-tavik-hd-mode", CHANGES_SERVER},
        {rrm_cfg_away_timeout, "rrm-cfg-away-timeout", CHANGES_SERVER},
        {rrm_cfg_tpc, "rrm-cfg-tpc", CHANGES_SERVER},
        {rrm_cfg_ap_rssi_threshold_2g, "rrm-cfg-ap-rssi-threshold-2g", CHANGES_SERVER},
        {rrm_cfg_ap_rssi_threshold_5g, "rrm-cfg-ap-rssi-threshold-5g", CHANGES_SERVER},
        {rrm_cfg_ap_rssi_threshold_6g, "rrm-cfg-ap-rssi-threshold-6g", CHANGES_SERVER},
        {rrm_cfg_hysteresis_2g, "rrm-cfg-hysteresis-2g", CHANGES_SERVER},
        {rrm_cfg_hysteresis_5g, "rrm-cfg-hysteresis-5g", CHANGES_SERVER},
        {rrm_cfg_hysteresis_6g, "rrm-cfg-hysteresis-6g", CHANGES_SERVER},
        {rrm_cfg_dca, "rrm-cfg-dca", CHANGES_SERVER},
        {rrm_cfg_balance, "rrm-cfg-balance", CHANGES_SERVER},
        {rrm_cfg_blacklist_threshold_high, "rrm-cfg-blacklist-threshold-high", CHANGES_SERVER},
        {rrm_cfg_blacklist_threshold_low, "rrm-cfg-blacklist-threshold-low", CHANGES_SERVER},
        {rrm_cfg_load_balance_sta_high, "rrm-cfg-load-balance-sta-high", CHANGES_SERVER},
        {rrm_cfg_load_balance_sta_low, "rrm-cfg-load-balance-sta-low", CHANGES_SERVER},
        {rrm_cfg_use_all_ap_balance, "rrm-cfg-use-all-ap-balance", CHANGES_SERVER},
        {rrm_api_cli_port, "rrm-api-cli-port", KEEPS_SERVER},
    };
    for (size_t i = 0; i < sizeof symbols / sizeof symbols[0]; ++i) {
        if (symbols[i].kind == CHANGES_SERVER)
            clish_plugin_add_sym(plugin, symbols[i].function, symbols[i].name);
        else
            clish_plugin_add_psym(plugin, symbols[i].function, symbols[i].name);
    }
    return 0;
}
