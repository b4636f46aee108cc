#include "ApEntry.h"

#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"

#include <strings.h>

#include <cstring>

namespace rrm {

namespace {

// Board names of the AP models the server tells apart. Each list ends at a
// null entry. A board containing an exclusion entry is never classified
// (emulated variants report a real model's board name); the prefix lists are
// tried in the order platform 1, 0, 2, so the first list that matches wins.
const char* const PLATFORM_EXCLUDED[] = {"-EMU", nullptr};
const char* const PLATFORM_1_BOARDS[] = {"TVK-FP", "FP-AP", "FP-OP", "FP-WG", nullptr};
const char* const PLATFORM_0_BOARDS[] = {"TVK-", "TSDK-", nullptr};
const char* const PLATFORM_2_BOARDS[] = {"RTL8", "RT-AP", "RT-OP", "RT-IN", "RT-WG",
                                         "RTA-", "RTX-",  "RTAX",  "RTAC",  "RTK-",
                                         nullptr};

bool contains_any(const std::string& board, const char* const* list)
{
    for (; *list; ++list)
        if (strcasestr(board.c_str(), *list))
            return true;
    return false;
}

bool starts_with_any(const std::string& board, const char* const* list)
{
    for (; *list; ++list) {
        const std::size_t length = std::strlen(*list);
        if (board.size() >= length && strncasecmp(board.c_str(), *list, length) == 0)
            return true;
    }
    return false;
}

}  // namespace

FactorySettings::FactorySettings(const JsonReader& json)
    : board(json.get_string("board")),
      hw(json.get_string("hw")),
      serial(json.get_string("serial")),
      mac(mac_from_string(json.get_string("mac")))
{
}

FactorySettings::FactorySettings(const std::string& board_name, const std::string& hw_text,
                                 const std::string& serial_number, const MacAddress& factory_mac)
    : board(board_name), hw(hw_text), serial(serial_number), mac(factory_mac)
{
}

ApEntry::ApEntry(const DomainConfig* domain_config, const MacAddress& mac,
                 const BaseSession& ap_session, const FactorySettings& identity)
    : base_mac(mac),
      config(domain_config),
      radios(domain_config, mac),
      session(ap_session),
      factory(identity)
{
    detect_platform();
}

ApEntry::ApEntry(const ApEntry& other)
    : base_mac(other.base_mac),
      config(other.config),
      ttl(other.ttl),
      radios(other.radios),
      session(null_session),
      session_dropped(other.session_dropped),
      factory(other.factory),
      active(other.active),
      fbt_changed(other.fbt_changed),
      visible_members(other.visible_members),
      visible_rogue(other.visible_rogue),
      ap_mac_count(other.ap_mac_count),
      use_wildcard_80211r(other.use_wildcard_80211r)
{
    detect_platform();
}

void ApEntry::detect_platform()
{
    const std::string& board = factory.board;
    if (contains_any(board, PLATFORM_EXCLUDED))
        return;
    if (starts_with_any(board, PLATFORM_1_BOARDS))
        platform = AP_PLATFORM_FASTPATH;
    else if (starts_with_any(board, PLATFORM_0_BOARDS))
        platform = AP_PLATFORM_TSDK;
    else if (starts_with_any(board, PLATFORM_2_BOARDS))
        platform = AP_PLATFORM_REALTEK;
}

std::string ApEntry::get_platform_name() const
{
    switch (platform) {
    case AP_PLATFORM_TSDK:
        return "TSDK";
    case AP_PLATFORM_FASTPATH:
        return "FastPath";
    case AP_PLATFORM_REALTEK:
        return "Realtek";
    default:
        return "Unknown";
    }
}

MacAddress ApEntry::get_radio_mac(int radio_id) const
{
    for (const Radio& radio : radios.radios)
        if (static_cast<int64_t>(radio.id) == radio_id)
            return radio.mac;
    RRM_WARNING("get_radio_mac fallback to base_mac=%s for invalid/disabled radio_id=%d",
                mac_to_string(base_mac).c_str(), radio_id);
    return base_mac;
}

void ApEntry::restore(const JsonReader& element, ChannelSets& channel_sets)
{
    ap_mac_count =
        element.has("ap-mac-count") ? element.get_int("ap-mac-count") : DEFAULT_AP_MAC_COUNT;
    use_wildcard_80211r =
        element.has("use-wildcard-80211r") && element.get_int("use-wildcard-80211r") != 0;
    const JsonReader radio_state = element.child("radios");
    if (!radio_state.is_null())
        radios.restore(radio_state, channel_sets);
    const JsonReader members = element.child("visible-members");
    if (!members.is_null())
        visible_members.restore(members);
    const JsonReader rogue = element.child("visible-rogue");
    if (!rogue.is_null())
        visible_rogue.restore(rogue);
}

void ApEntry::to_json(JsonWriter& object) const
{
    object.add_string("mac", mac_to_string(base_mac).c_str());
    object.add_int("active", active ? 1 : 0);
    object.add_int("ap-mac-count", ap_mac_count);
    object.add_int("use-wildcard-80211r", use_wildcard_80211r ? 1 : 0);
    JsonWriter radio_state = object.add_object("radios");
    radios.state_to_json(radio_state);
    JsonWriter members = object.add_array("visible-members");
    visible_members.to_json(members);
    JsonWriter rogue = object.add_array("visible-rogue");
    visible_rogue.to_json(rogue);
}

void ApEntry::vaps_to_json(JsonWriter& object) const
{
    radios.vaps_to_json(object);
}

void ApEntry::vaps_to_json_full(JsonWriter& object) const
{
    radios.vaps_to_json_full(object);
}

void ApEntry::clear_blacklists()
{
    for (Radio& radio : radios.radios)
        radio.block_list.clear();
}

void ApEntry::clear_clients()
{
    for (Radio& radio : radios.radios)
        radio.client_table.clear();
}

void ApEntry::requeue_blacklists()
{
    for (Radio& radio : radios.radios)
        radio.block_list.requeue_blocks();
}

bool ApEntry::sees_radio_of(const std::shared_ptr<ApEntry>& other) const
{
    return other && visible_members.contains_radio_of(*other);
}

}  // namespace rrm
