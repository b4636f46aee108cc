// The 802.11v balancer of a domain worker, fed through the worker's own
// message handling: client, disassociation and roam reports, the 802.11v
// neighbour lists in each list mode, the overload step's roam counts, and
// its timer.

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LoadBalancer802dot11vSubworker.h"
#include "Log.h"
#include "Neighbour.h"
#include "TimerQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using rrm::LOG_LEVEL_DEBUG;
using rrm::LOG_LEVEL_ERROR;
using rrm::LOG_LEVEL_WARNING;
using testsupport::ApSpec;
using testsupport::SimRadio;
using testsupport::SimVap;

SimVap vap(int id, const std::string& ssid, bool k, bool v)
{
    SimVap out;
    out.id = id;
    out.ssid = ssid;
    out.k = k;
    out.v = v;
    return out;
}

// Open to 802.11v unless told otherwise; "locked-for-balancer" is not sent,
// so the probe balancer never takes this AP's clients.
SimRadio radio(int id, int channel, int band, std::vector<SimVap> vaps, int locked_80211v = 0)
{
    SimRadio out;
    out.id = id;
    out.channel = channel;
    out.band = band;
    out.vaps = std::move(vaps);
    out.locked_80211v = locked_80211v;
    return out;
}

// The radios the AP does not use are reported disabled, so that every
// radio of the AP is locked for the probe balancer and the client reports
// come to the 802.11v balancer.
ApSpec ap(const std::string& mac, std::vector<SimRadio> radios)
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = "d";
    spec.serial = "SN-" + mac;
    for (int id = 0; id < 3; ++id) {
        auto it = std::find_if(radios.begin(), radios.end(),
                               [id](const SimRadio& r) { return r.id == id; });
        if (it != radios.end()) {
            spec.radios.push_back(*it);
            continue;
        }
        SimRadio off;
        off.id = id;
        off.enabled = false;
        off.channel = 1;
        off.band = 2;
        spec.radios.push_back(off);
    }
    return spec;
}

// One 5 GHz radio on channel 36 with "corp" (802.11k and 802.11v, VAP id 1).
ApSpec corp_ap(const std::string& mac, int channel = 36)
{
    return ap(mac, {radio(0, channel, 5, {vap(1, "corp", true, true)})});
}

std::string sta(int n)
{
    char text[32];
    std::snprintf(text, sizeof text, "00:11:00:00:%02X:%02X", (n >> 8) & 0xFF, n & 0xFF);
    return text;
}

// Low 5, high 20 (priority table (4, 255), (19, 127)), roam counts 2 to 4.
rrm::DomainConfig v_settings()
{
    rrm::DomainConfig settings;
    settings.use_80211v = true;
    settings.use_balance = true;
    settings.load_balance_sta_low = 5;
    settings.load_balance_sta_high = 20;
    settings.load_balance_roam_count_min = 2;
    settings.load_balance_roam_count_max = 4;
    return settings;
}

class Domain : public testsupport::DomainFixture {
public:
    explicit Domain(const rrm::DomainConfig& settings = v_settings()) : DomainFixture(settings) {}

    void subscribe(const ApSpec& spec)
    {
        specs[spec.mac] = spec;
        sessions[spec.mac] = next_session;
        from_ap(spec.subscribe_request(), next_session++);
    }
    void say(const std::string& mac, const std::string& cmd, const std::string& members)
    {
        from_ap(specs.at(mac).message(cmd, members), sessions.at(mac));
    }
    void assoc(const std::string& mac, int radio_id, const std::string& client,
               const std::string& ssid = "corp")
    {
        say(mac, "rrm-client-assoc",
            ",\"radio\":" + std::to_string(radio_id) + ",\"rssi\":-50,\"sta-mac\":\"" + client +
                "\",\"ssid\":\"" + ssid + "\",\"no-balance\":0");
    }
    void disassoc(const std::string& mac, int radio_id, const std::string& client,
                  const std::string& ssid = "corp")
    {
        say(mac, "rrm-client-disassoc",
            ",\"radio\":" + std::to_string(radio_id) + ",\"sta-mac\":\"" + client +
                "\",\"ssid\":\"" + ssid + "\"");
    }
    void roam(const std::string& mac, int radio_id, const std::string& client,
              const std::string& target)
    {
        say(mac, "rrm-sta-roam",
            ",\"radio\":" + std::to_string(radio_id) + ",\"sta-mac\":\"" + client +
                "\",\"target-mac\":\"" + target + "\"");
    }
    // `count` clients associate with the radio, numbered from `first`.
    void load(const std::string& mac, int radio_id, int count, int first)
    {
        for (int i = 0; i < count; ++i)
            assoc(mac, radio_id, sta(first + i));
    }

    rrm::LoadBalancer802dot11vSubworker& lb()
    {
        return *worker->subworkers.get_load_balancer_802dot11v();
    }
    rrm::ApEntry& entry(const std::string& mac)
    {
        auto found = find(worker->aps, mac);
        if (!found)
            throw std::runtime_error("not active: " + mac);
        return *found;
    }
    rrm::Radio& radio_of(const std::string& mac, int id)
    {
        return entry(mac).radios.radios[static_cast<size_t>(id)];
    }
    bool holds(const std::string& mac, int id, const std::string& client)
    {
        const rrm::MacAddress station = rrm::mac_from_string(client.c_str());
        return radio_of(mac, id).client_table.clients.count(station) != 0;
    }
    void hear(const std::string& viewer, const std::string& bssid)
    {
        entry(viewer).visible_members.insert(rrm::mac_from_string(bssid.c_str()),
                                             rrm::Neighbour(-60, 0, 0, 20, 20, 256));
    }
    // The viewer's 802.11v list as the balancer writes it; `changed` gets
    // the balancer's answer.
    std::string list_of(const std::string& viewer, bool* changed = nullptr)
    {
        rrm::JsonWriter message("rrm", "rrm-info", "");
        rrm::JsonWriter array = message.add_array("802dot11k");
        const bool answer = lb().build_802dot11kv_list(entry(viewer), array);
        if (changed)
            *changed = answer;
        return array.to_string();
    }
    // The "rrm-sta-overload" texts, all or those for one AP.
    std::vector<std::string> overloads(const std::string& mac = "")
    {
        std::vector<std::string> out;
        for (auto& s : sent("rrm-sta-overload"))
            if (mac.empty() || rrm::JsonReader(s.text.c_str()).get_string("ap-mac") == mac)
                out.push_back(s.text);
        return out;
    }

    std::map<std::string, ApSpec> specs;
    std::map<std::string, uint32_t> sessions;
    uint32_t next_session = 1;
};

const char* const V = "02:00:00:00:01:00";
const char* const A = "02:00:00:00:02:00";
const char* const B = "02:00:00:00:03:00";
const char* const C = "02:00:00:00:04:00";

// ------------------------------------------------------------ client reports

TEST(LoadBalancer802dot11v, ClientReportsKeepTheLoadAndThePriorityOfTheRadio)
{
    // Low 3, high 5: the table is (2, 255), (4, 127); loads 0-2 give 255,
    // 3-4 give 127, 5 and more 0.
    rrm::DomainConfig settings = v_settings();
    settings.load_balance_sta_low = 3;
    settings.load_balance_sta_high = 5;
    Domain domain(settings);
    domain.subscribe(corp_ap(V));
    ASSERT_EQ(domain.radio_of(V, 0).priority, 255) << "subscription evaluates the load 0";

    struct Step {
        std::string what;
        std::function<void()> report;
        int load;
        int priority;
        bool planned;  // an 802.11v list update is pending afterwards
    };
    const std::string s1 = sta(1), s2 = sta(2), s3 = sta(3);
    const Step steps[] = {
        {"first client", [&] { domain.assoc(V, 0, s1); }, 1, 255, false},
        {"second client", [&] { domain.assoc(V, 0, s2); }, 2, 255, false},
        {"third client crosses 2", [&] { domain.assoc(V, 0, s3); }, 3, 127, true},
        {"a client associates again", [&] { domain.assoc(V, 0, s1); }, 3, 127, true},
        {"disassociation from another SSID", [&] { domain.disassoc(V, 0, s2, "guest"); }, 3, 127,
         true},
        {"disassociation", [&] { domain.disassoc(V, 0, s2); }, 2, 255, true},
        {"no SSID", [&] { domain.assoc(V, 0, sta(9), ""); }, 2, 255, true},
        {"no client MAC", [&] { domain.assoc(V, 0, ""); }, 2, 255, true},
        {"unknown radio", [&] { domain.assoc(V, 7, sta(9)); }, 2, 255, true},
        {"disassociation on an unknown radio", [&] { domain.disassoc(V, -1, s1); }, 2, 255,
         true},
        {"disassociation of a stranger", [&] { domain.disassoc(V, 0, sta(9)); }, 2, 255, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.report();
        EXPECT_EQ(domain.radio_of(V, 0).client_table.size(), step.load);
        EXPECT_EQ(domain.radio_of(V, 0).priority, step.priority);
        EXPECT_EQ(domain.lb().lists_pending, step.planned);
    }
    EXPECT_TRUE(domain.log.has(LOG_LEVEL_DEBUG,
                               "Ap(02:00:00:00:01:00) priority changed to 127 (was 0), need to "
                               "update lists on aps;"));
    EXPECT_TRUE(domain.log.has(LOG_LEVEL_WARNING,
                               "Skip 802.11v assoc for invalid/disabled radio_id=7 (ap "
                               "02:00:00:00:01:00)"));
    EXPECT_TRUE(domain.log.has(LOG_LEVEL_WARNING,
                               "Skip 802.11v disassoc for invalid/disabled radio_id=-1 (ap "
                               "02:00:00:00:01:00)"));
    // The recorded client keeps what its last association said.
    const auto& client =
        domain.radio_of(V, 0).client_table.clients.at(rrm::mac_from_string(s1.c_str()));
    EXPECT_EQ(client.ssid, "corp");
    EXPECT_EQ(client.rssi, -50);
}

TEST(LoadBalancer802dot11v, AnnouncedRoamsCountTheClientOnTheTargetRadio)
{
    Domain domain;
    domain.subscribe(corp_ap(V));
    domain.subscribe(ap(A, {radio(0, 6, 2, {vap(1, "corp", true, true)}),
                            radio(1, 36, 5, {vap(1, "corp", true, true)})}));
    domain.assoc(A, 1, sta(7));

    struct Case {
        std::string what;
        std::string target;  // "target-mac" as the AP writes it
        int radio;
        std::string client;
        int expected_on_radio;  // -1: nowhere
        std::string error;      // the Error line, "" for none
        std::string warning;
    };
    const Case cases[] = {
        {"target named by its radio MAC", "02:00:00:00:02:00", 0, sta(1), 0,
         "New expected sta(00:11:00:00:00:01) added to AP(02:00:00:00:02:00)", ""},
        // 02:00:00:00:02:11 is the VAP of radio 1; with the local bit
        // cleared it names the same AP.
        {"target named by a VAP MAC without the local bit", "00:00:00:00:02:11", 1, sta(2), 1,
         "New expected sta(00:11:00:00:00:02) added to AP(00:00:00:00:02:11)", ""},
        {"unknown target", "02:00:00:00:09:00", 0, sta(3), -1,
         "No target ap with mac 02:00:00:00:09:00", ""},
        {"malformed target", "02:00:00", 0, sta(4), -1, "No target ap with mac 02:00:00", ""},
        {"radio the target does not have", "02:00:00:00:02:00", 3, sta(5), -1, "",
         "Skip 802.11v roam: target radio_id=3 invalid/disabled for ap=02:00:00:00:02:00"},
        {"client already associated with the target radio", "02:00:00:00:02:10", 1, sta(7), -1,
         "New expected sta(00:11:00:00:00:07) added to AP(02:00:00:00:02:10)", ""},
        {"no client", "02:00:00:00:02:00", 0, "", -1, "",
         "Skip 802.11v roam without sta-mac (ap 02:00:00:00:01:00)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t errors = c.error.empty() ? 0 : domain.log.count(LOG_LEVEL_ERROR, c.error);
        domain.roam(V, c.radio, c.client, c.target);
        const rrm::MacAddress client = rrm::mac_from_string(c.client.c_str());
        for (int id = 0; id < 2; ++id) {
            const auto& expected = domain.radio_of(A, id).client_table.expected;
            auto it = expected.find(client);
            if (id != c.expected_on_radio) {
                EXPECT_EQ(it, expected.end()) << "radio " << id;
                continue;
            }
            ASSERT_NE(it, expected.end()) << "radio " << id;
            EXPECT_EQ(rrm::mac_to_string(it->second.ap_mac), V) << "the AP that announced it";
            EXPECT_EQ(it->second.radio_id, static_cast<uint32_t>(id));
            EXPECT_EQ(it->second.ttl, 5);
        }
        if (!c.error.empty()) {
            EXPECT_EQ(domain.log.count(LOG_LEVEL_ERROR, c.error), errors + 1);
        }
        if (!c.warning.empty()) {
            EXPECT_TRUE(domain.log.has(LOG_LEVEL_WARNING, c.warning));
        }
    }
    // Two announced clients raise the loads: radio 0 has one expected
    // station, radio 1 one client and one expected station.
    EXPECT_EQ(domain.radio_of(A, 0).client_table.size(), 1);
    EXPECT_EQ(domain.radio_of(A, 1).client_table.size(), 2);

    // The same roam again restarts the entry's five seconds.
    domain.radio_of(A, 0).client_table.age_expected_stas();
    domain.radio_of(A, 0).client_table.age_expected_stas();
    domain.roam(V, 0, sta(1), "02:00:00:00:02:00");
    const auto& again =
        domain.radio_of(A, 0).client_table.expected.at(rrm::mac_from_string(sta(1).c_str()));
    EXPECT_EQ(again.ttl, 5);
}

TEST(LoadBalancer802dot11v, ArrivalAfterARoamRemovesTheClientFromEveryRadioOfTheApItLeft)
{
    // X is the AP the client leaves, Y the AP it goes to. X has 2.4 GHz
    // radio 0 and 5 GHz radio 1 unless a case says otherwise.
    const std::string X = "02:00:00:00:01:00";
    const std::string Y = "02:00:00:00:02:00";
    const std::string S = sta(1);
    struct Holds {
        std::string ap;
        int radio;
        bool has;
    };
    struct Case {
        std::string what;
        bool x_without_radio_0;
        std::function<void(Domain&)> before;  // associations and the announcement
        std::string arrives_at;                // the AP reporting the arrival, on radio 1
        std::vector<Holds> after;
    };
    const Case cases[] = {
        {"the client left a radio with another id than the target's", false,
         [&](Domain& d) {
             d.assoc(X, 0, S);
             d.roam(X, 1, S, "02:00:00:00:02:10");
         },
         Y, {{X, 0, false}, {X, 1, false}, {Y, 1, true}}},
        {"the client was held on both radios of the AP it left", false,
         [&](Domain& d) {
             d.assoc(X, 0, S);
             d.assoc(X, 1, S);
             d.roam(X, 1, S, "02:00:00:00:02:10");
         },
         Y, {{X, 0, false}, {X, 1, false}, {Y, 1, true}}},
        // X's base MAC names none of its enabled radios or VAPs, so only
        // the main table finds X by it.
        {"the AP left is found by its base MAC alone", true,
         [&](Domain& d) {
             d.assoc(X, 1, S);
             d.roam(X, 1, S, "02:00:00:00:02:10");
         },
         Y, {{X, 1, false}, {Y, 1, true}}},
        // The probe balancer records the radio a client leaves.
        {"an entry naming the radio the client left", false,
         [&](Domain& d) {
             d.assoc(X, 1, S);
             rrm::ExpectedSta entry;
             entry.ap_mac = rrm::mac_from_string("02:00:00:00:01:10");
             entry.radio_id = 1;
             entry.ttl = 30;
             d.radio_of(Y, 1).client_table.add_expected_sta(rrm::mac_from_string(S.c_str()),
                                                            entry);
         },
         Y, {{X, 0, false}, {X, 1, false}, {Y, 1, true}}},
        {"a roam between two radios of one AP keeps the client where it arrived", false,
         [&](Domain& d) {
             d.assoc(X, 0, S);
             d.roam(X, 1, S, "02:00:00:00:01:10");
         },
         X, {{X, 0, false}, {X, 1, true}}},
        {"the AP left has gone from the domain", false,
         [&](Domain& d) {
             d.assoc(X, 0, S);
             d.roam(X, 1, S, "02:00:00:00:02:10");
             d.from_ap(d.specs.at(X).unsubscribe_request(), d.sessions.at(X));
             ASSERT_EQ(d.find(d.worker->aps, X), nullptr);
         },
         Y, {{Y, 1, true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Domain domain;
        std::vector<SimRadio> x_radios;
        if (!c.x_without_radio_0)
            x_radios.push_back(radio(0, 6, 2, {vap(1, "corp", true, true)}));
        x_radios.push_back(radio(1, 36, 5, {vap(1, "corp", true, true)}));
        domain.subscribe(ap(X, x_radios));
        domain.subscribe(ap(Y, {radio(0, 6, 2, {vap(1, "corp", true, true)}),
                                radio(1, 40, 5, {vap(1, "corp", true, true)})}));
        c.before(domain);
        domain.assoc(c.arrives_at, 1, S);
        for (const Holds& h : c.after)
            EXPECT_EQ(domain.holds(h.ap, h.radio, S), h.has) << h.ap << " radio " << h.radio;
        EXPECT_TRUE(domain.radio_of(c.arrives_at, 1).client_table.expected.empty())
            << "the announcement is used up";
    }
}

// -------------------------------------------------------------------- lists

// V, A, B and C on 5 GHz; V serves "corp" (802.11k+v, VAP 1) and "guest"
// (802.11k, VAP 2) on channel 36.
//   A ch 36: corp (k+v, VAP 1), guest (k, VAP 2); no clients: priority 255
//   B ch 40: guest (k) only; its 2.4 GHz radio 1 serves corp, but V has no
//            2.4 GHz radio to offer it to
//   C ch 44: corp (k+v); 25 clients: priority 0 where priorities follow load
// V's scans heard A as its corp VAP with the local bit cleared
// (00:00:00:00:02:01), B and C by their radio MACs.
void build_list_domain(Domain& domain, bool heard)
{
    const std::vector<SimVap> both = {vap(1, "corp", true, true), vap(2, "guest", true, false)};
    domain.subscribe(ap(V, {radio(0, 36, 5, both)}));
    domain.subscribe(ap(A, {radio(0, 36, 5, both)}));
    domain.subscribe(ap(B, {radio(0, 40, 5, {vap(2, "guest", true, false)}),
                            radio(1, 6, 2, {vap(1, "corp", true, true)})}));
    domain.subscribe(ap(C, {radio(0, 44, 5, {vap(1, "corp", true, true)})}));
    domain.load(C, 0, 25, 100);
    if (heard) {
        domain.hear(V, "00:00:00:00:02:01");
        domain.hear(V, B);
        domain.hear(V, C);
    }
}

// The entries, worked out from the layout above.
std::string entry_a_heard(int priority)
{
    return R"({"neighbour-mac":"00:00:00:00:02:01","channel":36,"band":5,"bandwidth":20,)"
           R"("primary-channel":"none","priority":)" +
           std::to_string(priority) +
           R"(,"vaps":[{"id":1,"ssid":"corp","mac":"00:00:00:00:02:01"}]})";
}
std::string entry_a_own(int priority)
{
    return R"({"neighbour-mac":"02:00:00:00:02:00","channel":36,"band":5,"bandwidth":20,)"
           R"("primary-channel":"none","priority":)" +
           std::to_string(priority) +
           R"(,"vaps":[{"id":1,"ssid":"corp","mac":"02:00:00:00:02:01"}]})";
}
const std::string ENTRY_B_GUEST =
    R"({"neighbour-mac":"02:00:00:00:03:00","channel":40,"band":5,"bandwidth":20,)"
    R"("primary-channel":"none","priority":0,)"
    R"("vaps":[{"id":2,"ssid":"guest","mac":"02:00:00:00:03:02"}]})";
std::string entry_c(int priority)
{
    return R"({"neighbour-mac":"02:00:00:00:04:00","channel":44,"band":5,"bandwidth":20,)"
           R"("primary-channel":"none","priority":)" +
           std::to_string(priority) +
           R"(,"vaps":[{"id":1,"ssid":"corp","mac":"02:00:00:00:04:01"}]})";
}

TEST(LoadBalancer802dot11v, ListModes)
{
    struct Case {
        std::string what;
        bool use_80211v, use_80211k, use_balance, use_all_ap_balance;
        std::string list;
        bool changed;
    };
    const Case cases[] = {
        {"802.11v off: nothing", false, true, true, false, "[]", false},
        // Every enabled radio of every other AP, 127 whatever its load; B
        // shares only an 802.11k SSID: listed at 0.
        {"802.11k on: every AP, fixed priority", true, true, true, false,
         "[" + entry_a_own(127) + "," + ENTRY_B_GUEST + "," + entry_c(127) + "]", true},
        // What V heard, with the radios' priorities; C at 0 is left out, B
        // has no 802.11v SSID and no 802.11k fallback.
        {"what the AP heard, by load", true, false, true, false, "[" + entry_a_heard(255) + "]",
         true},
        // Without balancing no priority ever changes: only list inputs do.
        {"what the AP heard, without balancing: fixed priority", true, false, false, false,
         "[" + entry_a_heard(127) + "," + entry_c(127) + "]", false},
        {"every AP, by load", true, false, true, true, "[" + entry_a_own(255) + "]", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rrm::DomainConfig settings = v_settings();
        settings.use_80211v = c.use_80211v;
        settings.use_80211k = c.use_80211k;
        settings.use_balance = c.use_balance;
        settings.use_all_ap_balance = c.use_all_ap_balance;
        Domain domain(settings);
        build_list_domain(domain, true);
        bool changed = !c.changed;
        EXPECT_EQ(domain.list_of(V, &changed), c.list);
        EXPECT_EQ(changed, c.changed);
    }
}

TEST(LoadBalancer802dot11v, ListChangesSinceThePrioritiesWereSent)
{
    struct Case {
        std::string what;
        bool use_all_ap_balance;
        std::function<void(Domain&)> change;
        bool changed;
        std::string list;
    };
    const Case cases[] = {
        {"nothing changed, heard radios", false, [](Domain&) {}, false,
         "[" + entry_a_heard(255) + "]"},
        {"nothing changed, every AP", true, [](Domain&) {}, false, "[" + entry_a_own(255) + "]"},
        // Five clients: priority 127.
        {"a heard radio's priority changed", false, [](Domain& d) { d.load(A, 0, 5, 200); },
         true, "[" + entry_a_heard(127) + "]"},
        // Twenty clients: priority 0; A is left out but the list changed.
        {"a radio's priority fell to 0", true, [](Domain& d) { d.load(A, 0, 20, 200); }, true,
         "[]"},
        {"a radio's list inputs changed", true,
         [](Domain& d) { d.radio_of(A, 0).list_changed = true; }, true,
         "[" + entry_a_own(255) + "]"},
        {"a radio that is not heard changed", false,
         [](Domain& d) { d.radio_of(B, 1).list_changed = true; }, false,
         "[" + entry_a_heard(255) + "]"},
        {"a disabled radio never counts", true,
         [](Domain& d) { d.radio_of(A, 2).list_changed = true; }, false,
         "[" + entry_a_own(255) + "]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rrm::DomainConfig settings = v_settings();
        settings.use_80211k = false;
        settings.use_all_ap_balance = c.use_all_ap_balance;
        Domain domain(settings);
        build_list_domain(domain, true);
        domain.lb().mark_priorities_sent();
        c.change(domain);
        bool changed = !c.changed;
        EXPECT_EQ(domain.list_of(V, &changed), c.list);
        EXPECT_EQ(changed, c.changed);
    }
}

TEST(LoadBalancer802dot11v, ApAloneOrHearingNobodyAlwaysGetsItsList)
{
    for (bool all : {false, true}) {
        SCOPED_TRACE(all ? "every AP" : "heard radios");
        rrm::DomainConfig settings = v_settings();
        settings.use_80211k = false;
        settings.use_all_ap_balance = all;
        Domain domain(settings);
        domain.subscribe(corp_ap(V));
        for (int round = 0; round < 2; ++round) {
            bool changed = false;
            EXPECT_EQ(domain.list_of(V, &changed), "[]");
            EXPECT_TRUE(changed);
            domain.lb().mark_priorities_sent();
        }
    }
}

TEST(LoadBalancer802dot11v, SixtyFourVapsPerSsidAndRadioIdInOneList)
{
    // 70 APs whose radio 1 serves corp with 802.11v only, as V's radio 1
    // does (with 802.11k too); every AP, fixed priority. Processed in
    // ascending MAC order: the first 64 are listed, the last 6 refused with
    // the Error line (once each: there is no 802.11k match to fall back on).
    rrm::DomainConfig settings = v_settings();
    Domain domain(settings);
    const std::string viewer = "02:00:00:00:00:00";
    domain.subscribe(ap(viewer, {radio(1, 36, 5, {vap(1, "corp", true, true)})}));
    for (int i = 1; i <= 70; ++i) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:00:00:%02X:00:00", i);
        domain.subscribe(ap(mac, {radio(1, 36, 5, {vap(1, "corp", false, true)})}));
    }
    ASSERT_EQ(domain.worker->aps.size(), 71u);
    // The lists of the subscription answers have had their share already.
    const size_t before = domain.log.records().size();
    const rrm::JsonReader list(domain.list_of(viewer).c_str());
    ASSERT_EQ(list.size(), 64);
    EXPECT_STREQ(list.child(0).get_string("neighbour-mac"), "02:00:00:01:00:10");
    EXPECT_STREQ(list.child(63).get_string("neighbour-mac"), "02:00:00:40:00:10");
    const auto records = domain.log.records();
    size_t refused = 0;
    for (size_t i = before; i < records.size(); ++i)
        if (records[i].level == LOG_LEVEL_ERROR &&
            records[i].text == "On mac(02:00:00:00:00:00) radio(1) number of entries for "
                               "ssid(corp) exceded limit(64)")
            ++refused;
    EXPECT_EQ(refused, 6u);
}

TEST(LoadBalancer802dot11v, ListStepSendsChangedListsAtOnceUnlessSteeringIsLocked)
{
    // Every AP: the lists with fixed priority (802.11k on), the overload
    // step over every AP too.
    rrm::DomainConfig settings = v_settings();
    settings.use_all_ap_balance = true;
    Domain domain(settings);
    domain.subscribe(corp_ap(V));
    domain.subscribe(corp_ap(A));
    auto& lb = domain.lb();

    // Right after the subscriptions every priority differs from the one
    // sent: both APs get "rrm-info" without radios, straight to the
    // transport.
    lb.optimize_lists();
    auto infos = domain.sent("rrm-info");
    ASSERT_EQ(infos.size(), 2u);
    for (auto& info : infos) {
        const rrm::JsonReader json(info.text.c_str());
        const std::string mac = json.get_string("ap-mac");
        EXPECT_EQ(info.session.id, domain.sessions.at(mac));
        const std::string other = mac == V ? A : V;
        EXPECT_EQ(info.text,
                  R"({"service":"rrm","version":"2.4","cmd":"rrm-info","ap-mac":")" + mac +
                      R"(","use-tpc":1,"use-dca":1,"use-load-balance":1,"use-80211v":1,)"
                      R"("802dot11k":[{"neighbour-mac":")" +
                      other +
                      R"(","channel":36,"band":5,"bandwidth":20,"primary-channel":"none",)"
                      R"("priority":127,"vaps":[{"id":1,"ssid":"corp","mac":")" +
                      other.substr(0, 15) + R"(01"}]}]})");
    }
    EXPECT_FALSE(lb.lists_pending);
    EXPECT_EQ(domain.radio_of(V, 0).priority_sent, 255);

    // Nothing changed since: nothing is sent.
    lb.optimize_lists();
    EXPECT_EQ(domain.sent("rrm-info").size(), 2u);
    EXPECT_TRUE(domain.log.has(LOG_LEVEL_DEBUG,
                               "802.11kv list has not changed on 02:00:00:00:02:00, no need to "
                               "send new one"));

    // Five clients on A: its priority falls to 127 and an update is
    // planned. While the domain's planning locks steering the list step is
    // held back at every run and stays planned, but the overload step goes
    // on: A needs balance and V is an empty candidate.
    domain.load(A, 0, 6, 1);
    ASSERT_TRUE(lb.lists_pending);
    domain.worker->load_balancer_lock = true;
    lb.process_timer();
    lb.process_timer();
    EXPECT_EQ(domain.log.count(LOG_LEVEL_DEBUG, "Load balancer is blocked"), 2u);
    EXPECT_TRUE(lb.lists_pending);
    EXPECT_EQ(domain.sent("rrm-info").size(), 2u);
    EXPECT_EQ(domain.overloads().size(), 2u);

    // Unlocked: only V's list changed (A, listed in it, has a new
    // priority); A's list, which holds V, did not.
    domain.worker->load_balancer_lock = false;
    lb.process_timer();
    EXPECT_FALSE(lb.lists_pending);
    infos = domain.sent("rrm-info");
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_STREQ(rrm::JsonReader(infos[2].text.c_str()).get_string("ap-mac"), V);
    EXPECT_NE(infos[2].text.find(R"("priority":127)"), std::string::npos);
}

// ------------------------------------------------------------ overload step

// One "corp" candidate of the overloaded radio: its load and what it shares
// with the radio.
enum class Shares { V_AND_K, K_ONLY, NOTHING };
struct Candidate {
    int load;
    Shares shares = Shares::V_AND_K;
};

ApSpec candidate_ap(const std::string& mac, Shares shares)
{
    switch (shares) {
    case Shares::V_AND_K:
        return ap(mac, {radio(0, 40, 5, {vap(1, "corp", true, true)})});
    case Shares::K_ONLY:
        return ap(mac, {radio(0, 40, 5, {vap(1, "corp", true, false)})});
    case Shares::NOTHING:
        break;
    }
    return ap(mac, {radio(0, 40, 5, {vap(1, "other", true, true)})});
}

TEST(LoadBalancer802dot11v, RoamCounts)
{
    // V's radio 0 (channel 36, corp with 802.11v) against candidates on
    // channel 40, every AP of the domain (use_all_ap_balance). Low 5, high
    // 20: a candidate's priority is 255 up to 4 clients, 127 up to 19, then
    // 0. avg = (candidates' loads + L) / (candidates + 1), d = L - avg;
    // roam = d truncated when 2 < d, at most the maximum.
    struct Case {
        std::string what;
        int load;
        std::vector<Candidate> candidates;
        int maximum;
        std::string radios;                // "radios" of the message, "" for no message
        std::vector<int> offered;          // the priorities of the listed candidates
    };
    const Case cases[] = {
        {"L 10, one at 2: avg 6, d 4", 10, {{2}}, 4, R"([{"id":0,"roam-count":4}])", {255}},
        {"L 8, at 2 and 4: avg 14/3 = 4.667, d 3.333", 8, {{2}, {4}}, 4,
         R"([{"id":0,"roam-count":3}])", {255, 255}},
        {"L 6, one at 3: avg 4.5, d 1.5 below the minimum", 6, {{3}}, 4, "", {}},
        {"L 9, one at 1, maximum 3: avg 5, d 4 above the maximum", 9, {{1}}, 3,
         R"([{"id":0,"roam-count":3}])", {255}},
        {"L 6, one at 2: avg 4, d exactly 2 is not above the minimum", 6, {{2}}, 4, "", {}},
        {"maximum 0", 10, {{2}}, 0, "", {}},
        // The one as loaded as the radio is offered at 0 and not counted.
        {"L 10, at 10 and 2: only the less-loaded one counts", 10, {{10}, {2}}, 4,
         R"([{"id":0,"roam-count":4}])", {0, 255}},
        {"L 25, one at 20 with priority 0", 25, {{20}}, 4, "", {}},
        {"L 5 does not need balance", 5, {{0}}, 4, "", {}},
        // A candidate the AP is not offered cannot take its clients: the
        // message would tell it to move clients with no place to go.
        {"a less-loaded candidate sharing no VAP", 10, {{0, Shares::NOTHING}}, 4, "", {}},
        {"a less-loaded candidate sharing 802.11k only, listed at 0", 10,
         {{0, Shares::K_ONLY}}, 4, "", {}},
        // Counted: the one at 3 only: avg 6, d 3 (not avg 4, d 5).
        {"L 9, one unshared at 0 and one offered at 3", 9, {{0, Shares::NOTHING}, {3}}, 4,
         R"([{"id":0,"roam-count":3}])", {255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rrm::DomainConfig settings = v_settings();
        settings.use_all_ap_balance = true;
        settings.load_balance_roam_count_max = c.maximum;
        Domain domain(settings);
        domain.subscribe(corp_ap(V));
        domain.load(V, 0, c.load, 1);
        for (size_t i = 0; i < c.candidates.size(); ++i) {
            char mac[32];
            std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:00", static_cast<int>(i + 2));
            domain.subscribe(candidate_ap(mac, c.candidates[i].shares));
            domain.load(mac, 0, c.candidates[i].load, 1000 + 100 * static_cast<int>(i));
        }
        domain.lb().process_timer();
        const auto overloads = domain.overloads(V);
        if (c.radios.empty()) {
            EXPECT_TRUE(overloads.empty()) << overloads.front();
            continue;
        }
        ASSERT_EQ(overloads.size(), 1u);
        const rrm::JsonReader json(overloads[0].c_str());
        EXPECT_STREQ(json.get_string("ap-mac"), V);
        EXPECT_STREQ(json.child("radios").to_string(), c.radios.c_str());
        const rrm::JsonReader list = json.child("802dot11k");
        std::vector<int> offered;
        for (int i = 0; i < list.size(); ++i)
            offered.push_back(list.child(i).get_int("priority"));
        EXPECT_EQ(offered, c.offered);
        // The counters are left at 0 for the next run.
        EXPECT_EQ(domain.radio_of(V, 0).neighbour_load_count, 0);
        EXPECT_EQ(domain.radio_of(V, 0).neighbour_load_sum, 0);
    }
}

TEST(LoadBalancer802dot11v, SubscribeResponseCarriesTheListAfterTheRadios)
{
    // V hears A, then subscribes again: its answer ends with the list of
    // the 802.11v balancer (802.11v on: A's radio at priority 127, as in
    // "rrm-info" above) or the 802.11k list (802.11v off: no priority
    // planned, 0). The rest by hand as in the subscription tests: defaults
    // but for the balancer on, radio 0 on channel 36, 20 MHz.
    for (const bool v : {true, false}) {
        SCOPED_TRACE(v ? "802.11v" : "802.11k");
        rrm::DomainConfig settings = v_settings();
        settings.use_80211v = v;
        Domain domain(settings);
        domain.subscribe(corp_ap(V));
        domain.subscribe(corp_ap(A, 40));
        domain.hear(V, A);
        domain.subscribe(corp_ap(V));
        const std::string response = domain.last("subscribe-response");
        EXPECT_EQ(response,
                  R"({"service":"rrm","version":"2.4","cmd":"subscribe-response",)"
                  R"("status":"success","domain":"d","ap-mac":"02:00:00:00:01:00",)"
                  R"("config":{"use-tpc":1,"use-dca":1,"use-load-balance":1,"use-80211r":1,)"
                  R"("use-80211v":)" +
                      std::string(v ? "1" : "0") +
                      R"(,"radios":[{"id":0,"channel":36,"band":5,"power":17,"bandwidth":20,)"
                      R"("primary-channel":"none","tavik-sta-rssi-thr-low":-75,)"
                      R"("tavik-sta-rssi-thr-high":-65,"tavik-roam-attempt-timeout":600,)"
                      R"("tavik-client-rssi-renew":15,"tavik-client-max-age":20,)"
                      R"("tavik-try-no-balance":2,"no-balance-enterprise":0}],)"
                      R"("802dot11k":[{"neighbour-mac":"02:00:00:00:02:00","channel":40,)"
                      R"("band":5,"bandwidth":20,"primary-channel":"none","priority":)" +
                      std::string(v ? "127" : "0") +
                      R"(,"vaps":[{"id":1,"ssid":"corp","mac":"02:00:00:00:02:01"}]}]}})");
    }
}

TEST(LoadBalancer802dot11v, OverloadMessageOffersHeardRadiosButNeverTheRadioItself)
{
    // V (10 clients) heard A (2 clients) and its own radio, not B (no
    // clients): only what V heard is offered, and V's own radio is no
    // destination. Worked out by hand: A with priority 255, avg
    // (10 + 2) / 2 = 6, d 4: roam 4.
    Domain domain;
    domain.subscribe(corp_ap(V));
    domain.subscribe(corp_ap(A, 40));
    domain.subscribe(corp_ap(B, 44));
    domain.load(V, 0, 10, 1);
    domain.load(A, 0, 2, 100);
    domain.hear(V, A);
    domain.hear(V, V);
    domain.lb().process_timer();
    const auto overloads = domain.overloads();
    ASSERT_EQ(overloads.size(), 1u);
    EXPECT_EQ(overloads[0],
              R"({"service":"rrm","version":"2.4","cmd":"rrm-sta-overload",)"
              R"("ap-mac":"02:00:00:00:01:00","802dot11k":[{"neighbour-mac":"02:00:00:00:02:00",)"
              R"("channel":40,"band":5,"bandwidth":20,"primary-channel":"none","priority":255,)"
              R"("vaps":[{"id":1,"ssid":"corp","mac":"02:00:00:00:02:01"}]}],)"
              R"("radios":[{"id":0,"roam-count":4}]})");
    EXPECT_EQ(domain.sent("rrm-sta-overload")[0].session.id, domain.sessions.at(V));
    // Every run tells it again: nothing is remembered between runs.
    domain.lb().process_timer();
    EXPECT_EQ(domain.overloads().size(), 2u);
}

TEST(LoadBalancer802dot11v, RadiosLockedFor80211vAreNotSteered)
{
    // V radio 0: channel 36, 10 clients; radio 1: 2.4 GHz, corp with
    // 802.11v. Candidate A on channel 40 with 2 clients. The AP takes a
    // locked radio's VAPs without 802.11v, so the clients and the lock of
    // the cases are put on the radios directly.
    struct Case {
        std::string what;
        bool lock_radio_0, lock_radio_1;
        bool sent;
    };
    const Case cases[] = {
        {"nothing locked", false, false, true},
        {"the overloaded radio locked beside a ready one", true, false, false},
        {"the other radio locked", false, true, true},
        {"every radio locked: none is ready for 802.11v", true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rrm::DomainConfig settings = v_settings();
        settings.use_all_ap_balance = true;
        Domain domain(settings);
        domain.subscribe(ap(V, {radio(0, 36, 5, {vap(1, "corp", true, true)}),
                                radio(1, 6, 2, {vap(1, "corp", true, true)})}));
        domain.subscribe(corp_ap(A, 40));
        domain.load(A, 0, 2, 100);
        rrm::Radio& overloaded = domain.radio_of(V, 0);
        for (int i = 0; i < 10; ++i)
            overloaded.client_table.add_client(rrm::mac_from_string(sta(i).c_str()), -50, "corp",
                                               false, false);
        overloaded.update_priority();
        overloaded.locked_80211v = c.lock_radio_0 ? 1 : 0;
        domain.radio_of(V, 1).locked_80211v = c.lock_radio_1 ? 1 : 0;
        domain.lb().process_timer();
        const auto overloads = domain.overloads();
        if (!c.sent) {
            EXPECT_TRUE(overloads.empty());
            continue;
        }
        ASSERT_EQ(overloads.size(), 1u);
        EXPECT_STREQ(rrm::JsonReader(overloads[0].c_str()).child("radios").to_string(),
                     R"([{"id":0,"roam-count":4}])");
    }
}

TEST(LoadBalancer802dot11v, ClientsStepNeedsBothSwitches)
{
    struct Case {
        bool use_80211v, use_balance;
        std::string line;
    };
    const Case cases[] = {
        {true, false, "Skip optimize_clients (use_80211v=1 use_balance=0)"},
        {false, true, "Skip optimize_clients (use_80211v=0 use_balance=1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        rrm::DomainConfig settings = v_settings();
        settings.use_80211v = c.use_80211v;
        settings.use_balance = c.use_balance;
        settings.use_all_ap_balance = true;
        Domain domain(settings);
        domain.subscribe(corp_ap(V));
        domain.subscribe(corp_ap(A, 40));
        rrm::Radio& overloaded = domain.radio_of(V, 0);
        for (int i = 0; i < 10; ++i)
            overloaded.client_table.add_client(rrm::mac_from_string(sta(i).c_str()), -50, "corp",
                                               false, false);
        domain.radio_of(A, 0).priority = 255;
        domain.lb().force_optimization();
        EXPECT_TRUE(domain.overloads().empty());
        EXPECT_TRUE(domain.log.has(LOG_LEVEL_DEBUG, c.line));
    }
}

// -------------------------------------------------------------------- timer

TEST(LoadBalancer802dot11v, TimerRunsEveryPeriodAndAfterAPlannedRestart)
{
    // A run with nothing planned only visits the APs; the Debug line of the
    // clients step counts the runs.
    rrm::DomainConfig settings = v_settings();
    settings.sta_load_balance_period = 60;
    // Taken before the timer is armed: it is due 60 s after some later
    // second.
    const int64_t now = rrm::TimerQueue::now_seconds();
    Domain domain(settings);
    domain.subscribe(corp_ap(V));
    auto& lb = domain.lb();
    const std::string run_line = "AP(02:00:00:00:01:00): no radios need load balance";
    auto runs = [&] { return domain.log.count(LOG_LEVEL_DEBUG, run_line); };

    ASSERT_EQ(lb.timers.size(), 1u) << "armed at construction";
    lb.timers.fire_due(now + 59);
    EXPECT_EQ(runs(), 0u);
    // Planning without a restart keeps the due time.
    lb.planning_update_802dot11v(false);
    lb.timers.fire_due(now + 59);
    EXPECT_EQ(runs(), 0u);
    // With a restart the run comes replan_delay (20 s) from now.
    lb.planning_update_802dot11v(true);
    EXPECT_TRUE(domain.log.has(LOG_LEVEL_DEBUG, "Planning 802.11v optimization (timer restarted)"));
    lb.timers.fire_due(now + 19);
    EXPECT_EQ(runs(), 0u);
    lb.timers.fire_due(rrm::TimerQueue::now_seconds() + 20);
    EXPECT_EQ(runs(), 1u);
    EXPECT_EQ(lb.timers.size(), 1u) << "and the period starts again";
}

TEST(LoadBalancer802dot11v, NothingIsPlannedWithout80211v)
{
    rrm::DomainConfig settings = v_settings();
    settings.use_80211v = false;
    Domain domain(settings);
    domain.lb().planning_update_802dot11v(true);
    EXPECT_FALSE(domain.lb().lists_pending);
    EXPECT_FALSE(
        domain.log.has(LOG_LEVEL_DEBUG, "Planning 802.11v optimization (timer restarted)"));
}

TEST(LoadBalancer802dot11v, PeriodZeroKeepsTheTimerRunning)
{
    // A timer re-armed for the second of the pass that runs it would be
    // dropped with that pass; a period of 0 arms it for the next second.
    for (int period : {0, 1}) {
        SCOPED_TRACE(period);
        rrm::DomainConfig settings = v_settings();
        settings.sta_load_balance_period = period;
        Domain domain(settings);
        domain.subscribe(corp_ap(V));
        auto& lb = domain.lb();
        const std::string run_line = "AP(02:00:00:00:01:00): no radios need load balance";
        ASSERT_EQ(lb.timers.size(), 1u);
        // A pass in the second the timer is due in: the timer runs once and
        // is still there afterwards.
        lb.timers.restart_timer(lb.timer_callback, 0, 0);
        lb.timers.fire_due(rrm::TimerQueue::now_seconds());
        EXPECT_EQ(domain.log.count(LOG_LEVEL_DEBUG, run_line), 1u);
        EXPECT_EQ(lb.timers.size(), 1u);
        lb.force_optimization();
        EXPECT_EQ(lb.timers.size(), 1u);
    }
}

}  // namespace
