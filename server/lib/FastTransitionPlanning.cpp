// The 802.11r planning: the planning sub-worker's members that plan, run
// and send it, and the link planning itself.
//
// The links of a VAP are texts (R0 identity, R1 identity as a MAC text, RRB
// key). Each pass reads every link once: its R1 text is parsed once and the
// link is matched through hash indexes of the domain's VAPs, built once per
// pass, instead of being compared with every VAP of every other AP.

#include "FastTransitionPlanning.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "ChannelPlan.h"
#include "Config.h"
#include "DomainConfig.h"
#include "JsonAppender.h"
#include "Log.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "TpcDcaSubworker.h"
#include "VapMap.h"
#include "SendWindow.h"


#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace rrm {

namespace {

MacAddress without_local_bit(MacAddress mac)
{
    mac.octets[0] = static_cast<uint8_t>(mac.octets[0] & ~MAC_LOCAL_BIT);
    return mac;
}

// Bit 0x02 of the first octet of `mac` taken from `from`.
MacAddress with_local_bit_of(MacAddress mac, const MacAddress& from)
{
    mac.octets[0] = static_cast<uint8_t>((mac.octets[0] & ~MAC_LOCAL_BIT) |
                                         (from.octets[0] & MAC_LOCAL_BIT));
    return mac;
}

// A key holder named under the BSSID `heard` when it is that BSSID, or the
// radio heard as it, apart from the locally-administered bit: it then
// takes that bit of the BSSID.
MacAddress as_heard(const MacAddress& key_holder, const MacAddress& radio_mac,
                    const MacAddress& heard)
{
    if (mac_equal_ignoring_local_bit(key_holder, heard) ||
        mac_equal_ignoring_local_bit(radio_mac, heard))
        return with_local_bit_of(key_holder, heard);
    return key_holder;
}

void hash_mix(std::size_t& seed, std::size_t value)
{
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// What a surviving link needs of a VAP of another AP: the link's SSID, its
// R1 identity as a MAC (local bit cleared) and its key.
struct PartnerKey {
    std::string_view ssid;
    MacAddress r1;
    std::string_view key;
    bool operator==(const PartnerKey& o) const
    {
        return r1 == o.r1 && key == o.key && ssid == o.ssid;
    }
};

// The matching rule of a link and a VAP: equal R0 identities, R1 identities
// equal as MACs apart from the local bit, equal keys. A link matches a VAP
// exactly when their link keys are equal.
struct LinkKey {
    std::string_view r0;
    MacAddress r1;
    std::string_view key;
    bool operator==(const LinkKey& o) const { return r1 == o.r1 && key == o.key && r0 == o.r0; }
};

struct KeyHash {
    std::size_t operator()(const PartnerKey& k) const noexcept
    {
        return hash(k.ssid, k.r1, k.key);
    }
    std::size_t operator()(const LinkKey& k) const noexcept { return hash(k.r0, k.r1, k.key); }
    static std::size_t hash(std::string_view a, const MacAddress& mac, std::string_view b)
    {
        std::size_t seed = std::hash<std::string_view>()(b);
        hash_mix(seed, static_cast<std::size_t>(mac_to_u48(mac)));
        hash_mix(seed, std::hash<std::string_view>()(a));
        return seed;
    }
};

// Up to two distinct AP MACs: enough to tell whether one differs from a
// given AP.
struct TwoAps {
    MacAddress mac[2];
    int count = 0;

    void add(const MacAddress& m)
    {
        if (count == 0 || (count == 1 && mac[0] != m))
            mac[count++] = m;
    }
    bool other_than(const MacAddress& m) const
    {
        for (int i = 0; i < count; ++i)
            if (mac[i] != m)
                return true;
        return false;
    }
};

// The VAPs that can keep a link alive, summed up for the band rule.
struct PartnerSet {
    TwoAps on_six;  // of APs with a 6 GHz radio enabled
    TwoAps any;
    std::vector<std::pair<int, TwoAps>> by_band;  // by their radio's band

    void add(const MacAddress& ap, int band, bool six)
    {
        any.add(ap);
        if (six)
            on_six.add(ap);
        for (auto& entry : by_band) {
            if (entry.first == band) {
                entry.second.add(ap);
                return;
            }
        }
        by_band.emplace_back(band, TwoAps());
        by_band.back().second.add(ap);
    }
    // Some VAP of an AP other than `ap` on a radio that passes the band rule
    // for a radio of `band` on `ap`.
    bool exists_for(const MacAddress& ap, int band, bool ap_six) const
    {
        if (ap_six)
            return any.other_than(ap);
        if (on_six.other_than(ap))
            return true;
        for (const auto& entry : by_band)
            if (entry.first == band)
                return entry.second.other_than(ap);
        return false;
    }
};

// The radios of two APs whose VAPs may be linked: the same band, or any
// bands once either AP has a 6 GHz radio enabled.
bool bands_link(int band, bool six, int other_band, bool other_six)
{
    return band == other_band || six || other_six;
}

// The VAPs of a radio in the order of its VAP table (ascending SSID).
std::vector<Vap*> vaps_in_order(Radio& radio)
{
    std::vector<Vap*> vaps;
    vaps.reserve(radio.vaps.table.size());
    for (auto& entry : radio.vaps.table)
        vaps.push_back(&entry.second);
    std::sort(vaps.begin(), vaps.end(), [](const Vap* a, const Vap* b) { return a->ssid < b->ssid; });
    return vaps;
}

struct ApSlotRange {
    MacAddress key;  // in the map's table
    ApEntry* ap;
    bool six;  // has an enabled 6 GHz radio
    std::size_t first;
    std::size_t count;
};

// One VAP with 802.11r on an enabled radio; slots are numbered in planning
// order (APs ascending, radios in list order, VAPs ascending).
struct Slot {
    std::size_t ap;  // index into the AP ranges
    Radio* radio;
    Vap* vap;
    int band;
    MacAddress r1;  // the VAP's R1 identity as a MAC, local bit cleared
    int group;      // id of its link key
};

// The VAPs that can keep a link alive: summed up for the full mesh, listed
// for the APs whose partners are limited.
struct Partners {
    PartnerSet summary;
    std::vector<std::size_t> slots;
};

// What a pass needs of a link's record, worked out once per record: the
// links that share a record share the answer.
struct HolderFacts {
    MacAddress r1;  // local bit cleared
    int group;      // -1: no VAP carries its link key
    // Kept, so that no other record is made at its address while the
    // facts are held under it.
    std::shared_ptr<const FbtKeyHolder> holder;
};

}  // namespace

class LinkPlanner {
public:
    LinkPlanner(ApMap& aps, bool server_wildcard, std::size_t full_mesh_max, MadeHolderCache& made)
        : aps_(aps), server_wildcard_(server_wildcard), limited_(aps.size() > full_mesh_max), made_(made)
    {
    }

    // Indexes the next APs (in MAC order) until `vaps` 802.11r VAPs are
    // indexed, at least one AP; true once the indexes are complete. The
    // domain must not change until then.
    bool build(std::size_t vaps = SIZE_MAX);
    bool built() const { return built_; }

    std::size_t size() const { return ranges_.size(); }
    // Links and candidate remotes checked so far.
    std::size_t work() const { return work_; }
    const MacAddress& key_of(std::size_t index) const { return ranges_[index].key; }
    ApEntry& ap_of(std::size_t index) const { return *ranges_[index].ap; }
    // The AP held under `key`; -1 when none.
    long range_of(const MacAddress& key) const;
    // The links of one AP's VAPs.
    bool plan_ap(std::size_t index);

private:
    // Indexes the slots [first, first + count).
    void index_slots(std::size_t first, std::size_t count);
    // The BSSID under which the AP hears radio `radio_id` of the AP `owner`:
    // its lowest visible member that the index gives to that radio. False
    // when it hears none.
    bool heard_as(const ApEntry& hearer, const MacAddress& owner, int radio_id,
                  MacAddress& bssid);
    // One of the first VAPs of the group can keep a link of a VAP with that
    // SSID on `ap` alive (the partner rule); false says nothing about the
    // other VAPs with the link's key holder and key.
    bool has_partner_in(int group, std::string_view ssid, const MacAddress& ap, int band,
                        bool ap_six) const;
    // A VAP of the listed ones can keep the link alive.
    bool has_partner_among(const std::vector<std::size_t>& slots, const MacAddress& ap, int band,
                           bool ap_six) const;
    // The APs the AP's clients can roam to, marked in partner_ (the AP's
    // partners are limited).
    void mark_partners(std::size_t index);
    const HolderFacts& facts_of(const FbtLink& link);
    // The record of a new link to the VAP of slot r under R1 text `text`.
    std::shared_ptr<const FbtKeyHolder> holder_for(std::size_t r, const std::string& text);
    bool counts(std::size_t range) const { return !limiting_ || partner_[range]; }

    ApMap& aps_;
    const bool server_wildcard_;
    const bool limited_;
    // The build: the APs in MAC order, and the next one to index.
    bool started_ = false;
    bool built_ = false;
    std::vector<const ApMap::Table::value_type*> entries_;
    std::size_t next_entry_ = 0;
    std::vector<ApSlotRange> ranges_;
    std::unordered_map<MacAddress, std::size_t, MacHash> range_by_key_;
    std::vector<Slot> slots_;
    std::unordered_map<std::string_view, std::vector<std::size_t>> by_ssid_;
    std::unordered_map<PartnerKey, Partners, KeyHash> partners_;
    std::unordered_map<LinkKey, int, KeyHash> groups_;
    std::vector<std::vector<std::size_t>> group_slots_;
    // The SSID of a group's first VAP, and whether its VAPs have more than
    // one SSID.
    std::vector<std::string_view> group_ssid_;
    std::vector<char> group_mixed_;
    std::unordered_map<const FbtKeyHolder*, HolderFacts> facts_;
    MadeHolderCache& made_;

    // Per VAP being planned: links per group, and the groups touched.
    std::vector<int> count_;
    std::vector<int> touched_;

    std::size_t work_ = 0;

    // The AP being planned has limited partners, marked per AP range.
    bool limiting_ = false;
    std::vector<char> partner_;
    std::vector<std::size_t> partner_list_;
    std::vector<MacAddress> partner_keys_;

    // The hearer's view of the other APs' radios, for the AP being planned.
    const ApEntry* view_of_ = nullptr;
    std::unordered_map<uint64_t, MacAddress> view_;
};

bool LinkPlanner::build(std::size_t vaps)
{
    if (built_)
        return true;
    if (!started_) {
        started_ = true;
        entries_ = aps_.sorted();
        ranges_.reserve(entries_.size());
    }
    const std::size_t until = vaps > SIZE_MAX - slots_.size() ? SIZE_MAX : slots_.size() + vaps;
    for (bool first = true; next_entry_ < entries_.size() && (first || slots_.size() < until);
         first = false) {
        const auto* entry = entries_[next_entry_++];
        ApEntry& ap = *entry->second;
        ApSlotRange range{entry->first, &ap, false, slots_.size(), 0};
        for (const Radio& radio : ap.radios.radios)
            if (radio.status && radio.get_band() == BAND_6G)
                range.six = true;
        for (Radio& radio : ap.radios.radios) {
            if (!radio.status)
                continue;
            for (Vap* vap : vaps_in_order(radio)) {
                if (!vap->use_802dot11r)
                    continue;
                slots_.push_back(Slot{ranges_.size(), &radio, vap, radio.get_band(),
                                      without_local_bit(mac_from_string(vap->fbt_r1_keyholder.c_str())),
                                      -1});
            }
        }
        range.count = slots_.size() - range.first;
        range_by_key_.emplace(entry->first, ranges_.size());
        ranges_.push_back(range);
        index_slots(range.first, range.count);
    }
    if (next_entry_ < entries_.size())
        return false;

    // APs named by their own MAC where it is not their key: after every
    // key, which goes first.
    for (std::size_t i = 0; i < ranges_.size(); ++i)
        range_by_key_.emplace(ranges_[i].ap->base_mac, i);
    count_.assign(group_slots_.size(), 0);
    if (limited_)
        partner_.assign(ranges_.size(), 0);
    entries_.clear();
    entries_.shrink_to_fit();
    built_ = true;
    return true;
}

void LinkPlanner::index_slots(std::size_t first, std::size_t count)
{
    for (std::size_t i = first; i < first + count; ++i) {
        Slot& slot = slots_[i];
        const Vap& vap = *slot.vap;
        const ApSlotRange& range = ranges_[slot.ap];
        by_ssid_[vap.ssid].push_back(i);
        Partners& partners = partners_[PartnerKey{vap.ssid, slot.r1, vap.fbt_rrb_key}];
        partners.summary.add(range.ap->base_mac, slot.band, range.six);
        if (limited_)
            partners.slots.push_back(i);
        auto group = groups_.emplace(LinkKey{vap.fbt_r0_keyholder, slot.r1, vap.fbt_rrb_key},
                                     static_cast<int>(group_slots_.size()));
        if (group.second) {
            group_slots_.emplace_back();
            group_ssid_.push_back(vap.ssid);
            group_mixed_.push_back(0);
        }
        slot.group = group.first->second;
        const auto g = static_cast<std::size_t>(slot.group);
        if (group_ssid_[g] != vap.ssid)
            group_mixed_[g] = 1;
        group_slots_[g].push_back(i);
    }
}

long LinkPlanner::range_of(const MacAddress& key) const
{
    auto it = range_by_key_.find(key);
    return it == range_by_key_.end() ? -1 : static_cast<long>(it->second);
}

bool LinkPlanner::heard_as(const ApEntry& hearer, const MacAddress& owner, int radio_id,
                           MacAddress& bssid)
{
    auto view_key = [](const MacAddress& ap, int radio) {
        return mac_to_u48(ap) << 8 | static_cast<uint64_t>(radio & 0xFF);
    };
    if (view_of_ != &hearer) {
        // Made once per planned AP, when its first new link needs it.
        view_of_ = &hearer;
        view_.clear();
        for (const auto& heard : hearer.visible_members.table) {
            auto known = find_mac_with_retry(aps_.index.table, heard.first);
            if (known == aps_.index.table.end() || !known->second.ap)
                continue;
            if (known->second.radio_id < 0 || known->second.radio_id > 0xFF)
                continue;
            auto result =
                view_.emplace(view_key(known->second.ap->base_mac, known->second.radio_id), heard.first);
            MacAddress& lowest = result.first->second;
            if (std::memcmp(heard.first.octets, lowest.octets, sizeof lowest.octets) < 0)
                lowest = heard.first;
        }
    }
    if (radio_id < 0 || radio_id > 0xFF)
        return false;
    auto it = view_.find(view_key(owner, radio_id));
    if (it == view_.end())
        return false;
    bssid = it->second;
    return true;
}

bool LinkPlanner::has_partner_in(int group, std::string_view ssid, const MacAddress& ap,
                                 int band, bool ap_six) const
{
    const std::vector<std::size_t>& members = group_slots_[static_cast<std::size_t>(group)];
    const std::size_t look = std::min<std::size_t>(members.size(), 4);
    for (std::size_t i = 0; i < look; ++i) {
        const Slot& slot = slots_[members[i]];
        const ApSlotRange& range = ranges_[slot.ap];
        if (slot.vap->ssid == ssid && range.ap->base_mac != ap && counts(slot.ap) &&
            bands_link(band, ap_six, slot.band, range.six))
            return true;
    }
    return false;
}

bool LinkPlanner::has_partner_among(const std::vector<std::size_t>& slots, const MacAddress& ap,
                                    int band, bool ap_six) const
{
    for (std::size_t s : slots) {
        const Slot& slot = slots_[s];
        const ApSlotRange& range = ranges_[slot.ap];
        if (range.ap->base_mac != ap && counts(slot.ap) &&
            bands_link(band, ap_six, slot.band, range.six))
            return true;
    }
    return false;
}

void LinkPlanner::mark_partners(std::size_t index)
{
    for (std::size_t range : partner_list_)
        partner_[range] = 0;
    partner_list_.clear();
    aps_.hearing_partners(*ranges_[index].ap, partner_keys_);
    for (const MacAddress& key : partner_keys_) {
        const long range = range_of(key);
        if (range < 0 || static_cast<std::size_t>(range) == index || partner_[static_cast<std::size_t>(range)])
            continue;
        partner_[static_cast<std::size_t>(range)] = 1;
        partner_list_.push_back(static_cast<std::size_t>(range));
    }
    std::sort(partner_list_.begin(), partner_list_.end());
}

const HolderFacts& LinkPlanner::facts_of(const FbtLink& link)
{
    auto found = facts_.find(link.holder());
    if (found != facts_.end())
        return found->second;
    const MacAddress r1 = without_local_bit(mac_from_string(link.remote_r1_kh_id().c_str()));
    auto group = groups_.find(LinkKey{link.remote_r0_kh_id(), r1, link.remote_r1_kh_key()});
    return facts_
        .emplace(link.holder(),
                 HolderFacts{r1, group == groups_.end() ? -1 : group->second, link.shared_holder()})
        .first->second;
}

std::shared_ptr<const FbtKeyHolder> LinkPlanner::holder_for(std::size_t r, const std::string& text)
{
    const Vap& v2 = *slots_[r].vap;
    MadeHolders& made = made_[&v2];
    std::shared_ptr<const FbtKeyHolder>& holder = text == v2.fbt_r1_keyholder ? made.stored : made.heard;
    // A record made for the VAP that stood here before (or before its key
    // changed) is not taken.
    if (!holder || holder->r1 != text || holder->r0 != v2.fbt_r0_keyholder ||
        holder->key != v2.fbt_rrb_key)
        holder = std::make_shared<const FbtKeyHolder>(
            FbtKeyHolder{v2.fbt_r0_keyholder, text, v2.fbt_rrb_key});
    return holder;
}

bool LinkPlanner::plan_ap(std::size_t index)
{
    // The records of one AP's planning carry the function name "operator()".
    auto plan = [&]() {
        const ApSlotRange& range = ranges_[index];
        ApEntry& a = *range.ap;
        const MacAddress& a_mac = a.base_mac;
        const bool wildcard = server_wildcard_ && a.use_wildcard_80211r;
        bool changed = false;
        // Past the full mesh, an AP with scan data is linked with the APs
        // its clients can roam to; one without keeps the full mesh until
        // its first scan.
        limiting_ = limited_ && has_scan_data(a);
        if (limiting_)
            mark_partners(index);
        RRM_TRACE("==================================");
        RRM_TRACE("Device %s (%s)", PeerText(a.factory.board).c_str(),
                  a.get_platform_name().c_str());
        RRM_TRACE("fbt_changed = %d", a.fbt_changed ? 1 : 0);

        std::vector<int> link_groups;
        std::vector<std::size_t> relevant;
        for (std::size_t s = range.first; s < range.first + range.count; ++s) {
            const Slot& own = slots_[s];
            Vap& v = *own.vap;
            RRM_TRACE("----------------------------------");
            RRM_TRACE("wlan_id = %d vap_id = %d", static_cast<int>(own.radio->id), v.vap_id);
            RRM_TRACE("current ssid = %s", PeerText(v.ssid).c_str());
            RRM_TRACE("current serial = %s", PeerText(a.factory.serial).c_str());
            RRM_TRACE("current r0 keyholder = %s", PeerText(v.fbt_r0_keyholder).c_str());
            RRM_TRACE("current r1 keyholder = %s", PeerText(v.fbt_r1_keyholder).c_str());
            RRM_TRACE("use_wildcard_80211r = %d", a.use_wildcard_80211r ? 1 : 0);
            RRM_TRACE("remotes size = %zu", v.fbt_links.size());
            work_ += v.fbt_links.size();

            // Links that lead nowhere: no VAP of this SSID on another AP
            // (on a radio the band rule admits) holds their key holder and
            // key any more. The R0 identity is not compared here.
            std::vector<FbtLink>& links = v.fbt_links;
            link_groups.clear();
            std::size_t kept = 0;
            for (std::size_t l = 0; l < links.size(); ++l) {
                FbtLink& link = links[l];
                const HolderFacts& facts = facts_of(link);
                const int group = facts.group;
                bool keep = false;
                if (wildcard && link.remote_r1_kh_id() == FBT_BROADCAST_R1_KH_ID) {
                    RRM_DEBUG("skip wildcarg keyholder");
                    keep = true;
                } else {
                    // Mostly the VAP the link was made to is there and
                    // keeps it; else any VAP with its key holder and key.
                    keep = group >= 0 && has_partner_in(group, v.ssid, a_mac, own.band, range.six);
                    if (!keep) {
                        auto partner = partners_.find(PartnerKey{v.ssid, facts.r1, link.remote_r1_kh_key()});
                        keep = partner != partners_.end() &&
                               (limiting_ ? has_partner_among(partner->second.slots, a_mac, own.band, range.six)
                                          : partner->second.summary.exists_for(a_mac, own.band, range.six));
                    }
                }
                if (!keep) {
                    RRM_TRACE("%s (%s) erase broken link with %s",
                              PeerText(v.fbt_r1_keyholder).c_str(),
                              PeerText(v.ssid).c_str(), PeerText(link.remote_r1_kh_id()).c_str());
                    a.fbt_changed = true;
                    continue;
                }
                link_groups.push_back(group);
                if (kept != l)
                    links[kept] = std::move(link);
                ++kept;
            }
            links.erase(links.begin() + static_cast<std::ptrdiff_t>(kept), links.end());
            changed = changed || a.fbt_changed;

            // The VAPs of the other APs that can change this VAP's links,
            // in planning order: those of its SSID, and those of another SSID
            // that carry the link key of one of its links (or of a link it
            // may get). Every other VAP leaves the links as they are.
            touched_.clear();
            auto count_link = [&](int group, int delta) {
                if (group < 0)
                    return;
                int& n = count_[static_cast<std::size_t>(group)];
                if (n == 0 && delta > 0)
                    touched_.push_back(group);
                n += delta;
            };
            for (int group : link_groups)
                count_link(group, 1);
            relevant.clear();
            auto add_other_ssids = [&](int group) {
                if (group < 0)
                    return;
                const auto g = static_cast<std::size_t>(group);
                if (!group_mixed_[g] && group_ssid_[g] == v.ssid)
                    return;
                for (std::size_t other : group_slots_[g])
                    if (slots_[other].vap->ssid != v.ssid && counts(slots_[other].ap))
                        relevant.push_back(other);
            };
            static const std::vector<std::size_t> none;
            auto same = by_ssid_.find(v.ssid);
            const std::vector<std::size_t>& same_ssid = same != by_ssid_.end() ? same->second : none;
            for (int group : link_groups)
                add_other_ssids(group);
            const std::vector<std::size_t>* order = &same_ssid;
            if (limiting_) {
                // The VAPs of its SSID on the partner APs only.
                for (std::size_t partner : partner_list_) {
                    const ApSlotRange& b = ranges_[partner];
                    for (std::size_t r = b.first; r < b.first + b.count; ++r)
                        if (slots_[r].vap->ssid == v.ssid) {
                            relevant.push_back(r);
                            add_other_ssids(slots_[r].group);
                        }
                }
                std::sort(relevant.begin(), relevant.end());
                relevant.erase(std::unique(relevant.begin(), relevant.end()), relevant.end());
                order = &relevant;
            } else {
                for (std::size_t other : same_ssid)
                    add_other_ssids(slots_[other].group);
                if (!relevant.empty()) {
                    relevant.insert(relevant.end(), same_ssid.begin(), same_ssid.end());
                    std::sort(relevant.begin(), relevant.end());
                    relevant.erase(std::unique(relevant.begin(), relevant.end()), relevant.end());
                    order = &relevant;
                }
            }

            work_ += order->size();
            for (std::size_t r : *order) {
                const Slot& remote = slots_[r];
                const ApSlotRange& b = ranges_[remote.ap];
                if (b.ap->base_mac == a_mac || !bands_link(own.band, range.six, remote.band, b.six))
                    continue;
                Vap& v2 = *remote.vap;
                const int group = remote.group;
                const bool linked = count_[static_cast<std::size_t>(group)] > 0;
                if (v2.ssid != v.ssid) {
                    if (!linked)
                        continue;
                    RRM_TRACE("invalid link %s %s", PeerText(v.ssid).c_str(),
                              PeerText(v2.ssid).c_str());
                    // The first link that matches the remote goes.
                    for (std::size_t l = 0; l < link_groups.size(); ++l) {
                        if (link_groups[l] == group) {
                            links.erase(links.begin() + static_cast<std::ptrdiff_t>(l));
                            link_groups.erase(link_groups.begin() + static_cast<std::ptrdiff_t>(l));
                            break;
                        }
                    }
                    count_link(group, -1);
                    RRM_TRACE("unlink %s %s", PeerText(v.fbt_r1_keyholder).c_str(),
                              PeerText(v2.fbt_r1_keyholder).c_str());
                    changed = true;
                    a.fbt_changed = true;
                    continue;
                }
                // One key holder on two APs is never linked to itself.
                if (remote.r1 == own.r1)
                    continue;
                RRM_TRACE("remote ssid = %s", PeerText(v2.ssid).c_str());
                RRM_TRACE("remote MAC  = %s", PeerText(v2.fbt_r1_keyholder).c_str());
                if (linked) {
                    RRM_TRACE("already linked %s %s", PeerText(v.fbt_r1_keyholder).c_str(),
                              PeerText(v2.fbt_r1_keyholder).c_str());
                    continue;
                }
                // The remote is named under the BSSID this AP hears its
                // radio as, when it hears it.
                MacAddress heard;
                if (heard_as(a, b.ap->base_mac, static_cast<int>(remote.radio->id), heard))
                    v.link(holder_for(r, mac_to_string(as_heard(mac_from_string(v2.fbt_r1_keyholder.c_str()),
                                                                remote.radio->mac, heard))));
                else
                    v.link(holder_for(r, v2.fbt_r1_keyholder));
                link_groups.push_back(group);
                count_link(group, 1);
                a.fbt_changed = true;
                changed = true;
                RRM_TRACE("now linked %s %s", PeerText(v.fbt_r1_keyholder).c_str(),
                          PeerText(v2.fbt_r1_keyholder).c_str());
            }
            for (int group : touched_)
                count_[static_cast<std::size_t>(group)] = 0;

            if (wildcard && v.link_broadcast_802dot11r()) {
                RRM_DEBUG("FBT broadcast mac added");
                a.fbt_changed = true;
                changed = true;
            }
            RRM_TRACE("new remotes size = %zu", v.fbt_links.size());
        }
        return changed;
    };
    return plan();
}

bool has_scan_data(const ApEntry& ap)
{
    return !ap.visible_members.table.empty() || !ap.visible_rogue.table.empty();
}

void fill_missing_key_holders(ApEntry& ap, bool server_wildcard)
{
    const bool wildcard = server_wildcard && ap.use_wildcard_80211r;
    for (Radio& radio : ap.radios.radios) {
        if (!radio.status)
            continue;
        for (auto& entry : radio.vaps.table) {
            Vap& vap = entry.second;
            if (!vap.use_802dot11r)
                continue;
            if (vap.fbt_r0_keyholder.empty())
                vap.fbt_r0_keyholder =
                    wildcard ? mac_to_keyholder_string(vap.mac) : ap.factory.serial;
            if (vap.fbt_r1_keyholder.empty())
                vap.fbt_r1_keyholder = mac_to_string(vap.mac);
            if (vap.fbt_rrb_key.empty()) {
                char key[FBT_KEY_LENGTH + 1];
                Vap::generate_random_key(key, sizeof key);
                vap.fbt_rrb_key = key;
            }
        }
    }
}

FbtPlanning::FbtPlanning(bool server_wildcard, std::size_t full_mesh_max_aps,
                         std::vector<MacAddress> only)
    : server_wildcard_(server_wildcard), full_mesh_max_aps_(full_mesh_max_aps), only_(std::move(only))
{
}

FbtPlanning::~FbtPlanning() = default;

bool FbtPlanning::building() const
{
    return planner_ && !planner_->built();
}

bool FbtPlanning::step(ApMap& aps, std::size_t work, std::vector<MacAddress>& changed_aps,
                       uint64_t activity, std::size_t build_vaps)
{
    // The indexes hold the domain's APs and VAPs: made again when a message
    // or a timer may have changed them since the last step.
    if (!planner_ || activity != activity_)
        planner_ = std::make_unique<LinkPlanner>(aps, server_wildcard_, full_mesh_max_aps_, holders_);
    activity_ = activity;
    LinkPlanner& planner = *planner_;
    if (!planner.build(build_vaps))
        return false;
    if (!only_.empty()) {
        // The given APs only, each in one go, the other APs read.
        for (const MacAddress& key : only_) {
            const long range = planner.range_of(key);
            if (range < 0)
                continue;
            if (planner.plan_ap(static_cast<std::size_t>(range)))
                changed_ = true;
            if (planner.ap_of(static_cast<std::size_t>(range)).fbt_changed)
                changed_aps.push_back(key);
        }
        planner_.reset();
        holders_.clear();
        return true;
    }
    const std::size_t until = planner.work() + work;
    std::size_t index = 0;
    if (started_)
        while (index < planner.size() &&
               std::memcmp(planner.key_of(index).octets, next_.octets, sizeof next_.octets) < 0)
            ++index;
    started_ = true;
    for (; index < planner.size(); ++index) {
        if (planner.plan_ap(index))
            changed_ = true;
        if (planner.ap_of(index).fbt_changed)
            changed_aps.push_back(planner.key_of(index));
        if (index + 1 < planner.size() && planner.work() >= until) {
            next_ = planner.key_of(index + 1);
            return false;
        }
    }
    planner_.reset();
    holders_.clear();
    return true;
}

bool plan_fbt_links(ApMap& aps, bool server_wildcard, std::size_t full_mesh_max_aps)
{
    FbtPlanning planning(server_wildcard, full_mesh_max_aps);
    std::vector<MacAddress> changed_aps;
    while (!planning.step(aps, SIZE_MAX, changed_aps)) {
    }
    return planning.changed();
}

// ------------------------------------------------- the planning sub-worker

namespace {

bool server_uses_wildcard(const RrmWorker* worker)
{
    return worker && worker->global_config && worker->global_config->server().use_wildcard_80211r;
}

}  // namespace

void TpcDcaSubworker::planning_update_802dot11r()
{
    if (restore_lock) {
        fbt_status = 1;
        return;
    }
    if (config->use_80211r && (state == STATE_IDLE || state == STATE_PLANNED_TIME)) {
        RRM_DEBUG("Planning update 802dot11r domain %s", domain_name->c_str());
        timers.restart_timer(timer_802dot11r_callback, TIMER_802DOT11R,
                             update_802dot11r_delay.next(timers.now(), config->replan_delay,
                                                         push_back_bound(), 1));
        fbt_status = 1;
    } else {
        // The planned cycle carries it.
        if (config->use_80211r && state == STATE_PLANNED_FORCED)
            held_802dot11r = true;
        RRM_DEBUG("NOT Planning update 802dot11r domain %s", domain_name->c_str());
    }
}

void TpcDcaSubworker::process_timer_802dot11r()
{
    update_802dot11r_delay.reset();
    if (config->use_80211r && (state == STATE_IDLE || state == STATE_PLANNED_TIME)) {
        RRM_DEBUG("Process update 802dot11r domain %s", domain_name->c_str());
        update_802dot11r();
        notify_event(EVENT_DOMAIN_CHANGED, std::make_shared<std::string>(*domain_name));
    } else {
        RRM_DEBUG("Not update 802dot11r domain %s", domain_name->c_str());
    }
}

void TpcDcaSubworker::fill_missing_key_holders()
{
    const bool wildcard = server_uses_wildcard(worker);
    for (const auto* entry : aps->sorted())
        rrm::fill_missing_key_holders(*entry->second, wildcard);
}

void TpcDcaSubworker::update_802dot11r()
{
    RRM_DEBUG("Update 802dot11r domain %s", domain_name->c_str());
    fill_missing_key_holders();
    const bool wildcard = server_uses_wildcard(worker);
    RRM_DEBUG("wendara use_wildcard_80211r=%d", wildcard ? 1 : 0);
    if (aps->empty()) {
        RRM_DEBUG("FBT settings changed = %d", 0);
        fbt_status = 0;
        return;
    }
    // An update under way starts again from the first AP.
    fbt_planning = std::make_unique<FbtPlanning>(wildcard, fbt_full_mesh_max_aps);
    continue_802dot11r_update();
}

void TpcDcaSubworker::continue_802dot11r_update()
{
    continue_joining_plan(MacAddress{});
    if (!fbt_planning)
        return;
    // A share of the work per pass: a large domain's links are planned in
    // many, between which queries and AP messages are served.
    std::vector<MacAddress> changed_aps;
    const bool done = fbt_planning->step(*aps, FBT_PLAN_WORK, changed_aps, worker->activity(),
                                         FBT_INDEX_VAPS);
    // The APs whose links changed are told as they are planned.
    for (const MacAddress& key : changed_aps) {
        auto it = aps->table.find(key);
        if (it == aps->table.end())
            continue;
        post_results_802dot11r_ap(it->second.get(), false, false);
        it->second->fbt_changed = false;
    }
    if (!done) {
        worker->wake();
        return;
    }
    const bool changed = fbt_planning->changed();
    fbt_planning.reset();
    fbt_planned = true;
    RRM_DEBUG("FBT settings changed = %d", changed ? 1 : 0);
    fbt_status = 0;
    send_outboxes();
}

bool TpcDcaSubworker::building_fbt_indexes() const
{
    return (fbt_planning && fbt_planning->building()) || (fbt_joining && fbt_joining->building());
}

void TpcDcaSubworker::post_results_802dot11r()
{
    for (const auto* entry : aps->sorted()) {
        ApEntry& ap = *entry->second;
        post_results_802dot11r_ap(&ap, false, false);
        ap.fbt_changed = false;
    }
    send_outboxes();
}

void TpcDcaSubworker::clear_fbt_links()
{
    for (auto& entry : aps->table)
        for (Radio& radio : entry.second->radios.radios)
            if (radio.status)
                for (auto& vap : radio.vaps.table)
                    if (vap.second.use_802dot11r)
                        vap.second.fbt_links.clear();
}

std::string TpcDcaSubworker::fbt_info_text(const ApEntry& ap) const
{
    // Written straight into one text, in the key order of the message; a
    // message of a large domain holds tens of thousands of remotes, which
    // a document tree would take many times as long to build.
    std::string out;
    std::size_t links = 0;
    for (const Radio& radio : ap.radios.radios)
        if (radio.status)
            for (const auto& entry : radio.vaps.table)
                links += entry.second.fbt_links.size();
    out.reserve(256 + links * 112);
    {
        JsonAppender message(out, "rrm", "fbt-info", "");
        message.add_string("ap-mac", mac_to_string(ap.base_mac).c_str());
        message.add_int("wendara-use-80211r", 1);
        message.add_int("fbt-over-ds", config->fbt_over_ds ? 1 : 0);
        message.add_int("fbt-reassoc-deadline", config->fbt_reassoc_deadline);
        JsonAppender vaps = message.add_array("vaps");
        // Each key holder is named under the BSSID the domain hears its radio as.
        const std::vector<MacAddress> heard_as = aps->get_visible_radio_macs(ap);
        for (std::size_t position = 0; position < ap.radios.radios.size(); ++position) {
            const Radio& radio = ap.radios.radios[position];
            if (!radio.status)
                continue;
            for (const Vap* vap : radio.vaps.sorted()) {
                if (!vap->use_802dot11r)
                    continue;
                JsonAppender entry = vaps.add_object("");
                entry.add_int("vap_id", vap->vap_id);
                entry.add_int("radio_id", static_cast<long>(radio.id));
                entry.add_string("fbt-rrb-key", vap->fbt_rrb_key.c_str());
                entry.add_int("mobility-domain", vap->get_mobility_domain());
                entry.add_string("r0-key-holder-id", vap->fbt_r0_keyholder.c_str());
                const MacAddress r1 = as_heard(mac_from_string(vap->fbt_r1_keyholder.c_str()),
                                               radio.mac, heard_as[position]);
                entry.add_string("r1-key-holder-id", mac_to_string(r1).c_str());
                JsonAppender remotes = entry.add_array("remotes");
                for (const FbtLink& link : vap->fbt_links) {
                    JsonAppender remote = remotes.add_object("");
                    remote.add_string("remote-r0-kh-id", link.remote_r0_kh_id().c_str());
                    remote.add_string("remote-r1-kh-id", link.remote_r1_kh_id().c_str());
                    remote.add_string("remote-r1-kh-key", link.remote_r1_kh_key().c_str());
                }
            }
        }
    }
    return out;
}

void TpcDcaSubworker::post_results_802dot11r_ap(ApEntry* ap, bool send_now, bool force)
{
    RRM_DEBUG("%s", domain_name->c_str());
    if (!config->use_80211r)
        return;
    if (!ap->fbt_changed && !(force && ap->radios.has_80211r_vaps()))
        return;
    // An AP is never told empty identities or keys: one that has just
    // subscribed gets the ones the next update would give it.
    const bool wildcard = server_uses_wildcard(worker);
    rrm::fill_missing_key_holders(*ap, wildcard);
    if (!send_now) {
        // Built when the transport has room for it (send_outboxes).
        fbt_outbox.queue(ap->base_mac);
        return;
    }
    // An AP that joins a domain past the full mesh is told its own links at
    // once, not after the next planning cycle: its clients would otherwise
    // roam without fast transition for minutes. (In a domain within the
    // full mesh, and before the domain's first update, it gets them with
    // the next update.)
    // Its planning needs the indexes of the whole domain: in a large domain
    // they are made over the worker's next passes, and the AP is told its
    // links then, through the outbox (here, what it has).
    auto held = aps->table.find(ap->base_mac);
    if (fbt_planned && aps->size() > fbt_full_mesh_max_aps && held != aps->table.end() &&
        held->second.get() == ap) {
        if (fbt_joining)
            fbt_joining->add(ap->base_mac);
        else
            fbt_joining = std::make_unique<FbtPlanning>(wildcard, fbt_full_mesh_max_aps,
                                                        std::vector<MacAddress>{ap->base_mac});
        continue_joining_plan(ap->base_mac);
    }
    send_fbt_info(*ap);
}

void TpcDcaSubworker::continue_joining_plan(const MacAddress& told_now)
{
    if (!fbt_joining)
        return;
    std::vector<MacAddress> changed_aps;
    if (!fbt_joining->step(*aps, FBT_PLAN_WORK, changed_aps, worker->activity(), FBT_INDEX_VAPS)) {
        worker->wake();
        return;
    }
    fbt_joining.reset();
    for (const MacAddress& key : changed_aps) {
        auto it = aps->table.find(key);
        if (it == aps->table.end())
            continue;
        // The AP about to be told at once needs no second message.
        if (key != told_now)
            post_results_802dot11r_ap(it->second.get(), false, false);
        it->second->fbt_changed = false;
    }
}

std::size_t TpcDcaSubworker::send_fbt_info(const ApEntry& ap)
{
    std::string text = fbt_info_text(ap);
    const std::size_t size = text.size();
    send_held(std::move(text), ap.session);
    return size;
}

void TpcDcaSubworker::send_fbt_outbox()
{
    // Each AP's "rrm-info" goes before its "fbt-info".
    if (!rrm_info_outbox.empty())
        return;
    std::size_t built = 0;
    while (!fbt_outbox.empty() && send_window->has_room() && built < FBT_SEND_BYTES_PER_PASS) {
        const MacAddress key = fbt_outbox.pop().first;
        // An AP that left meanwhile is not told; one that is back on another
        // session is told on that one, with the links it has now.
        auto it = aps->table.find(key);
        if (it == aps->table.end() || !config->use_80211r)
            continue;
        built += send_fbt_info(*it->second);
    }
}

}  // namespace rrm
