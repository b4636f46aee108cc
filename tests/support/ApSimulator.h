#pragma once
// A simulated access point for the domain, steering and management tests:
// what a real AP sends (ApSpec, the message texts built from one
// description of the AP) and an AP that speaks them to the real server over
// a real WebSocket on 127.0.0.1 (ApSimulator).
//
//     testsupport::ApSimulator ap(testsupport::ApSpec::typical("02:00:00:00:01:00", "lab"));
//     ASSERT_TRUE(ap.connect(port));
//     ASSERT_TRUE(ap.subscribe());
//     auto answer = ap.wait_for("subscribe-response");   // the text, or nullopt
//
// The simulator records every text message it receives, in order, and
// answers the server's requests as an AP does (switch it off with
// answer_requests): "rrm-request-mode" with "rrm-mode-response", "rrm-update"
// with "rrm-response" carrying the spec's scan ("rf-environment"). Pings are
// answered by the WebSocket client. Every wait has a deadline.
//
// ApSpec alone serves tests that feed a domain worker directly, without a
// network.

#include "JsonReader.h"
#include "WsTestClient.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// One VAP of a radio as an AP reports it.
struct SimVap {
    int id = 0;
    std::string ssid;
    // Empty: no "mac" member (the server takes the VAP's default MAC, the
    // radio's MAC plus the id).
    std::string mac;
    bool k = true;   // "802dot11k"
    bool r = false;  // "802dot11r"
    bool v = false;  // "802dot11v"
    // 802.11r key holders and RRB key; sent only when rrb_key is set.
    std::string r0;
    std::string r1;
    std::string rrb_key;
    // Raw members appended to the VAP object, each with its leading comma:
    // ",\"fbt-links\":[...]".
    std::string extra;
};

// One radio as an AP reports it in "radios".
struct SimRadio {
    int id = 0;
    bool enabled = true;
    int channel = 0;
    int band = -1;  // -1: no "band" member (inferred from the channel)
    int power = 17;
    int power_max = 20;
    int power_min = 5;
    int bandwidth = 20;
    std::string primary_channel;     // empty: not sent
    std::string available_channels;  // "1 6 11", empty: not sent
    int mac_offset = -1;             // -1: not sent (id x 16)
    int radio_mac_count = -1;        // -1: not sent (16)
    // Locks; -1: not sent (the balancer and 802.11v locks then count as set).
    int locked_balancer = -1;
    int locked_80211v = -1;
    std::vector<SimVap> vaps;
    // Raw members appended to the radio object, each with its leading comma:
    // ",\"eirp-max\":20".
    std::string extra;
};

// Everything an AP says about itself; the message texts follow from it.
struct ApSpec {
    std::string mac;  // "ap-mac" and the factory MAC
    std::string domain = "lab";
    std::string version = "2.4";
    std::string board = "tavik-ap";
    std::string hw = "rev-a";
    std::string serial = "SN0001";
    int ap_mac_count = -1;     // -1: "ap-mac-count" not sent (48)
    int wildcard_80211r = -1;  // -1: "use-wildcard-80211r" not sent
    std::vector<SimRadio> radios;
    // The "rf-environment" member of "rrm-response" (raw JSON), empty: none.
    std::string rf_environment;

    // An AP with `radio_count` radios (2.4 GHz channel 6, 5 GHz channel 36,
    // 6 GHz channel 37; 20 MHz) and `vaps_per_radio` VAPs on each, SSIDs
    // "ssid0", "ssid1", ... with 802.11k and 802.11r, key holders and keys
    // set. The serial is derived from the MAC.
    static ApSpec typical(const std::string& mac, const std::string& domain = "lab",
                          int radio_count = 3, int vaps_per_radio = 4)
    {
        ApSpec spec;
        spec.mac = mac;
        spec.domain = domain;
        spec.serial = "SN-" + mac;
        static const int channels[] = {6, 36, 37};
        static const int bands[] = {2, 5, 6};
        for (int r = 0; r < radio_count && r < 3; ++r) {
            SimRadio radio;
            radio.id = r;
            radio.channel = channels[r];
            radio.band = bands[r];
            for (int v = 0; v < vaps_per_radio; ++v) {
                SimVap vap;
                vap.id = v;
                vap.ssid = "ssid" + std::to_string(v);
                vap.r = true;
                vap.r0 = spec.serial;
                vap.rrb_key = "KEY" + std::to_string(r) + std::to_string(v) + "abcdefghijklm";
                radio.vaps.push_back(vap);
            }
            spec.radios.push_back(radio);
        }
        return spec;
    }

    // {"service":"rrm","cmd":cmd,"version",...,"domain","ap-mac"} followed by
    // `members` (raw, each with its leading comma).
    std::string message(const std::string& cmd, const std::string& members = "") const
    {
        return "{\"service\":\"rrm\",\"cmd\":\"" + cmd + "\",\"version\":\"" + version +
               "\",\"domain\":\"" + domain + "\",\"ap-mac\":\"" + mac + "\"" + members + "}";
    }

    std::string subscribe_request() const
    {
        std::string members = ",\"factory\":{\"board\":\"" + board + "\",\"hw\":\"" + hw +
                              "\",\"serial\":\"" + serial + "\",\"mac\":\"" + mac + "\"}";
        if (ap_mac_count >= 0)
            members += ",\"ap-mac-count\":" + std::to_string(ap_mac_count);
        if (wildcard_80211r >= 0)
            members += ",\"use-wildcard-80211r\":" + std::to_string(wildcard_80211r);
        return message("subscribe-request", members + radios_member());
    }
    std::string unsubscribe_request() const { return message("unsubscribe-request"); }
    std::string config_changed() const { return message("rrm-config-changed", radios_member()); }
    std::string mode_response() const { return message("rrm-mode-response", radios_member()); }
    std::string scan_response() const
    {
        std::string members = radios_member();
        if (!rf_environment.empty())
            members += ",\"rf-environment\":" + rf_environment;
        return message("rrm-response", members);
    }

    // ,"radios":[...]
    std::string radios_member() const
    {
        std::string out = ",\"radios\":[";
        for (size_t i = 0; i < radios.size(); ++i) {
            if (i)
                out += ',';
            out += radio_json(radios[i]);
        }
        return out + "]";
    }

    static std::string radio_json(const SimRadio& r)
    {
        std::string out = "{\"id\":" + std::to_string(r.id) +
                          ",\"status\":" + (r.enabled ? "1" : "0") +
                          ",\"channel\":" + std::to_string(r.channel);
        if (r.band >= 0)
            out += ",\"band\":" + std::to_string(r.band);
        out += ",\"power\":" + std::to_string(r.power) +
               ",\"power-max\":" + std::to_string(r.power_max) +
               ",\"power-min\":" + std::to_string(r.power_min) +
               ",\"bandwidth\":" + std::to_string(r.bandwidth);
        if (!r.primary_channel.empty())
            out += ",\"primary-channel\":\"" + r.primary_channel + "\"";
        if (!r.available_channels.empty())
            out += ",\"available-channels\":\"" + r.available_channels + "\"";
        if (r.mac_offset >= 0)
            out += ",\"mac-offset\":" + std::to_string(r.mac_offset);
        if (r.radio_mac_count >= 0)
            out += ",\"radio-mac-count\":" + std::to_string(r.radio_mac_count);
        if (r.locked_balancer >= 0)
            out += ",\"locked-for-balancer\":" + std::to_string(r.locked_balancer);
        if (r.locked_80211v >= 0)
            out += ",\"locked-for-80211v\":" + std::to_string(r.locked_80211v);
        out += ",\"vaps\":[";
        for (size_t i = 0; i < r.vaps.size(); ++i) {
            const SimVap& v = r.vaps[i];
            if (i)
                out += ',';
            out += "{\"id\":" + std::to_string(v.id) + ",\"ssid\":\"" + v.ssid + "\"";
            if (!v.mac.empty())
                out += ",\"mac\":\"" + v.mac + "\"";
            out += std::string(",\"802dot11k\":") + (v.k ? "1" : "0") +
                   ",\"802dot11r\":" + (v.r ? "1" : "0") + ",\"802dot11v\":" + (v.v ? "1" : "0");
            if (!v.rrb_key.empty())
                out += ",\"fbt-r0-keyholder\":\"" + v.r0 + "\",\"fbt-r1-keyholder\":\"" + v.r1 +
                       "\",\"fbt-rrb-key\":\"" + v.rrb_key + "\"";
            out += v.extra + "}";
        }
        return out + "]" + r.extra + "}";
    }
};

// The "cmd" of a message text ("" when it has none or does not parse).
inline std::string cmd_of(const std::string& text)
{
    rrm::JsonReader json(text.c_str());
    return json.get_string("cmd");
}

class ApSimulator {
public:
    explicit ApSimulator(ApSpec ap_spec) : spec_(std::move(ap_spec)) {}
    ~ApSimulator() { stop_reader(); }
    ApSimulator(const ApSimulator&) = delete;
    ApSimulator& operator=(const ApSimulator&) = delete;

    // Opens the WebSocket ("/apb/rrm", "websock-rrm") and starts reading.
    // A simulator may connect again after drop or close: a new session,
    // what it received before stays recorded.
    bool connect(int port)
    {
        stop_reader();
        client_.close_received = false;
        client_.eof = false;
        client_.close_code = -1;
        {
            std::lock_guard<std::mutex> g(m_);
            ended_ = false;
            close_code_ = -1;
        }
        if (client_.connect(port) != 101)
            return false;
        stopping_ = false;
        reader_ = std::thread([this] { read_loop(); });
        return true;
    }

    bool send(const std::string& text) { return client_.send_text(text); }
    bool subscribe() { return send(spec().subscribe_request()); }
    bool unsubscribe() { return send(spec().unsubscribe_request()); }
    bool config_changed() { return send(spec().config_changed()); }

    // The AP's description, to read or change (later messages and answers
    // follow the change).
    ApSpec spec() const
    {
        std::lock_guard<std::mutex> g(m_);
        return spec_;
    }
    void update_spec(const std::function<void(ApSpec&)>& change)
    {
        std::lock_guard<std::mutex> g(m_);
        change(spec_);
    }

    // The next received message with that "cmd" that no earlier wait_for
    // returned, within the deadline.
    std::optional<std::string> wait_for(const std::string& cmd, int timeout_ms = 30000)
    {
        std::unique_lock<std::mutex> g(m_);
        std::optional<std::string> found;
        cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
            for (size_t i = 0; i < received_.size(); ++i)
                if (!taken_[i] && received_cmds_[i] == cmd) {
                    taken_[i] = true;
                    found = received_[i];
                    return true;
                }
            return false;
        });
        return found;
    }
    // Waits until `n` messages with that "cmd" (or any, for "") have come.
    bool wait_count(const std::string& cmd, size_t n, int timeout_ms = 30000)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                            [&] { return count_locked(cmd) >= n; });
    }
    // Every text received so far, in order; only those with that "cmd"
    // when one is given.
    std::vector<std::string> received(const std::string& cmd = "") const
    {
        std::lock_guard<std::mutex> g(m_);
        std::vector<std::string> out;
        for (size_t i = 0; i < received_.size(); ++i)
            if (cmd.empty() || received_cmds_[i] == cmd)
                out.push_back(received_[i]);
        return out;
    }
    size_t count(const std::string& cmd = "") const
    {
        std::lock_guard<std::mutex> g(m_);
        return count_locked(cmd);
    }

    // True once the server has closed the connection (close frame or end
    // of stream) within the deadline; the close code is then close_code().
    bool wait_closed(int timeout_ms = 30000)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return ended_; });
    }
    int close_code() const
    {
        std::lock_guard<std::mutex> g(m_);
        return close_code_;
    }

    // Leaves without a word: the TCP connection just ends, as when an AP
    // loses power.
    void drop()
    {
        stop_reader();
        client_.disconnect();
    }
    // Leaves with a close frame (code 1000), then ends the connection.
    void close()
    {
        client_.send_close(1000);
        drop();
    }

    // Answer "rrm-request-mode" and "rrm-update" as an AP does.
    std::atomic<bool> answer_requests{true};

private:
    size_t count_locked(const std::string& cmd) const
    {
        size_t n = 0;
        for (const std::string& c : received_cmds_)
            if (cmd.empty() || c == cmd)
                ++n;
        return n;
    }

    void read_loop()
    {
        while (!stopping_) {
            auto text = client_.read_text(200);
            if (text) {
                const std::string cmd = cmd_of(*text);
                {
                    std::lock_guard<std::mutex> g(m_);
                    received_.push_back(*text);
                    received_cmds_.push_back(cmd);
                    taken_.push_back(false);
                }
                cv_.notify_all();
                answer(cmd);
                continue;
            }
            if (client_.close_received || client_.eof) {
                {
                    std::lock_guard<std::mutex> g(m_);
                    ended_ = true;
                    close_code_ = client_.close_code;
                }
                cv_.notify_all();
                return;
            }
        }
    }

    void answer(const std::string& cmd)
    {
        if (!answer_requests)
            return;
        if (cmd == "rrm-request-mode")
            send(spec().mode_response());
        else if (cmd == "rrm-update")
            send(spec().scan_response());
    }

    void stop_reader()
    {
        if (!reader_.joinable())
            return;
        stopping_ = true;
        // Wakes a read in progress at once.
        if (client_.fd() >= 0)
            ::shutdown(client_.fd(), SHUT_RDWR);
        reader_.join();
    }

    WsTestClient client_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex m_;
    std::condition_variable cv_;
    ApSpec spec_;
    std::vector<std::string> received_;
    std::vector<std::string> received_cmds_;
    std::vector<bool> taken_;
    bool ended_ = false;
    int close_code_ = -1;
};

}  // namespace testsupport
