#include "DomainDetails.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "JsonWriter.h"

namespace rrm {

ApDetails ApDetails::of(const MacAddress& key, const ApEntry& ap)
{
    ApDetails details;
    details.board = ap.factory.board;
    details.mac = key;
    details.serial = ap.factory.serial;
    details.hw = ap.factory.hw;
    details.radios.reserve(ap.radios.radios.size());
    for (const Radio& radio : ap.radios.radios)
        details.radios.emplace_back(static_cast<int32_t>(radio.id), radio.vaps);
    return details;
}

void ApDetails::to_json(JsonWriter& array) const
{
    JsonWriter object = array.add_object("");
    object.add_string("board", board.c_str());
    object.add_string("mac", mac_to_string(mac).c_str());
    object.add_string("serial", serial.c_str());
    object.add_string("hw", hw.c_str());
    JsonWriter list = object.add_array("radios");
    for (const auto& [id, vaps] : radios) {
        JsonWriter element = list.add_object("");
        element.add_int("id", id);
        JsonWriter vap_list = element.add_array("vaps");
        vaps.to_json(vap_list);
    }
}

std::vector<ApDetails> DomainDetails::of(const ApMap& map)
{
    std::vector<ApDetails> out;
    out.reserve(map.size());
    for (const auto* entry : map.sorted())
        out.push_back(ApDetails::of(entry->first, *entry->second));
    return out;
}

void DomainDetails::to_json(JsonWriter& out) const
{
    JsonWriter details = out.add_object("details");
    details.add_string("name", name.c_str());
    JsonWriter metric_object = details.add_object("metrics");
    details.add_int("ap-count", static_cast<int>(ap_count));
    details.add_int("unanswered-ap-count", static_cast<int>(unanswered_count));
    details.add_int("deleted-ap-count", static_cast<int>(deleted_count));
    details.add_int("queue-size", static_cast<int>(queue_size));
    details.add_int("rrm-status", rrm_status);
    details.add_int("fbt-status", fbt_status);
    for (const Metric& metric : metrics) {
        metric_object.add_int(metric.expected, static_cast<int>(metric.average_us));
        metric_object.add_int(metric.count, metric.runs);
    }
    JsonWriter active = details.add_array("aps");
    JsonWriter unanswered_list = details.add_array("unanswered-aps");
    JsonWriter deleted_list = details.add_array("deleted-aps");
    for (const ApDetails& ap : aps)
        ap.to_json(active);
    for (const ApDetails& ap : unanswered)
        ap.to_json(unanswered_list);
    for (const ApDetails& ap : deleted)
        ap.to_json(deleted_list);
}

}  // namespace rrm
