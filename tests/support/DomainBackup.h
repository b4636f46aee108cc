#pragma once
// Domain backup objects as the VRRP backup writes them, written out by hand
// from the backup format: per AP its state object ("mac", "active",
// "ap-mac-count", "use-wildcard-80211r", "radios" {"received",
// "interfaces"}, "visible-members", "visible-rogue") whose interfaces carry
// the full VAP form (key holders, RRB key, links), then "board", "hw" and
// "serial".

#include <string>
#include <vector>

namespace testsupport {

struct BackupLink {
    std::string r0, r1, key;
};

struct BackupVap {
    int id = 0;
    std::string ssid;
    std::string mac;
    bool k = true, r = true, v = false;
    std::string r0, r1, key;
    std::vector<BackupLink> links;
};

struct BackupRadio {
    int id = 0;
    bool enabled = true;
    int channel = 6;
    int band = 2;
    int power = 17;
    int mac_offset = -1;       // -1: id x 16
    int radio_mac_count = 16;
    std::string available = "1,6,11";  // the array's elements
    std::vector<BackupVap> vaps;
};

struct BackupHeard {
    std::string mac;
    int dbm = -60;
    int channel = 6;
    int band = 2;
};

struct BackupAp {
    std::string mac;  // empty: no "mac" member
    std::string board = "tavik-ap", hw = "rev-a", serial = "SN0001";
    int ap_mac_count = 48;
    int wildcard = 0;
    std::vector<BackupRadio> radios;
    std::vector<BackupHeard> heard;

    std::string json() const
    {
        std::string out = "{";
        if (!mac.empty())
            out += "\"mac\":\"" + mac + "\",";
        out += "\"active\":1,\"ap-mac-count\":" + std::to_string(ap_mac_count) +
               ",\"use-wildcard-80211r\":" + std::to_string(wildcard) +
               ",\"radios\":{\"received\":1,\"interfaces\":[";
        for (size_t i = 0; i < radios.size(); ++i) {
            const BackupRadio& r = radios[i];
            out += i ? "," : "";
            out += "{\"id\":" + std::to_string(r.id) +
                   ",\"mac-offset\":" + std::to_string(r.mac_offset < 0 ? r.id * 16 : r.mac_offset) +
                   ",\"radio-mac-count\":" + std::to_string(r.radio_mac_count) +
                   ",\"status\":" + (r.enabled ? "1" : "0") +
                   ",\"power-changed\":0,\"conflicted\":0,\"locked-tpc\":0,\"locked-dca\":0,"
                   "\"locked-balancer\":0,\"locked-80211v\":0,\"channel\":" +
                   std::to_string(r.channel) + ",\"band\":" + std::to_string(r.band) +
                   ",\"power\":" + std::to_string(r.power) +
                   ",\"max-power\":20,\"min-power\":5,\"bandwidth\":20,\"primary-channel\":0,"
                   "\"available-channels\":[" + r.available + "],\"assoc_clients\":[],\"vaps\":[";
            for (size_t j = 0; j < r.vaps.size(); ++j) {
                const BackupVap& v = r.vaps[j];
                out += j ? "," : "";
                out += "{\"id\":" + std::to_string(v.id) + ",\"ssid\":\"" + v.ssid + "\",\"mac\":\"" +
                       v.mac + "\",\"use_802dot11k\":" + (v.k ? "1" : "0") +
                       ",\"use_802dot11r\":" + (v.r ? "1" : "0") +
                       ",\"use_802dot11v\":" + (v.v ? "1" : "0") + ",\"fbt-r0-keyholder\":\"" + v.r0 +
                       "\",\"fbt-r1-keyholder\":\"" + v.r1 + "\",\"fbt-rrb-key\":\"" + v.key + "\"";
                if (!v.links.empty()) {
                    out += ",\"fbt-links\":[";
                    for (size_t l = 0; l < v.links.size(); ++l)
                        out += std::string(l ? "," : "") + "{\"remote-r0-kh-id\":\"" + v.links[l].r0 +
                               "\",\"remote-r1-kh-id\":\"" + v.links[l].r1 +
                               "\",\"remote-r1-kh-key\":\"" + v.links[l].key + "\"}";
                    out += "]";
                }
                out += "}";
            }
            out += "]}";
        }
        out += "]},\"visible-members\":[";
        for (size_t i = 0; i < heard.size(); ++i)
            out += std::string(i ? "," : "") + "{\"mac\":\"" + heard[i].mac +
                   "\",\"dbm-signal\":" + std::to_string(heard[i].dbm) +
                   ",\"channel\":" + std::to_string(heard[i].channel) +
                   ",\"band\":" + std::to_string(heard[i].band) +
                   ",\"bandwidth\":20,\"tx-power\":20,\"primary\":256}";
        out += "],\"visible-rogue\":[]";
        if (!board.empty())
            out += ",\"board\":\"" + board + "\"";
        if (!hw.empty())
            out += ",\"hw\":\"" + hw + "\"";
        if (!serial.empty())
            out += ",\"serial\":\"" + serial + "\"";
        return out + "}";
    }
};

// AP n (1..9) at 02:00:00:00:0n:00, radio 0 on channel 6 with one VAP
// "ab" (802.11k and 802.11r) at the radio's MAC, R0 "R0-n", R1 the VAP's
// MAC, key "KEYnaaaaaaaaaaaa".
inline BackupAp backup_ap(int n)
{
    BackupAp ap;
    const std::string mac = "02:00:00:00:0" + std::to_string(n) + ":00";
    ap.mac = mac;
    ap.serial = "SN000" + std::to_string(n);
    BackupRadio radio;
    BackupVap vap;
    vap.ssid = "ab";
    vap.mac = mac;
    vap.r0 = "R0-" + std::to_string(n);
    vap.r1 = mac;
    vap.key = "KEY" + std::to_string(n) + "aaaaaaaaaaaa";
    radio.vaps.push_back(vap);
    ap.radios.push_back(radio);
    return ap;
}

// A list member: "key":[elements...], the elements given as JSON texts.
inline std::string backup_list(const std::string& key, const std::vector<std::string>& elements)
{
    std::string out = "\"" + key + "\":[";
    for (size_t i = 0; i < elements.size(); ++i)
        out += (i ? "," : "") + elements[i];
    return out + "]";
}

}  // namespace testsupport
