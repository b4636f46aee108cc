#pragma once
// A domain's status ("details") as taken from its worker: everything the
// object holds, copied inside the worker's lock, so that the text (a large
// domain's runs to megabytes: every VAP with the remote key holders of its
// links) is written after the lock is released. The copy costs the
// domain's VAPs and one shared reference per link, not the text.

#include "MacAddress.h"
#include "VapMap.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace rrm {

class ApEntry;
class ApMap;
class JsonWriter;

// One AP in the short form of the status lists.
struct ApDetails {
    std::string board;
    MacAddress mac;  // the AP's key in its map
    std::string serial;
    std::string hw;
    // Every radio, enabled or not, in radio order: its id and VAPs.
    std::vector<std::pair<int32_t, VapMap>> radios;

    static ApDetails of(const MacAddress& key, const ApEntry& ap);
    // {"board", "mac", "serial", "hw", "radios": [{"id", "vaps"}]}
    // appended to an array writer.
    void to_json(JsonWriter& array) const;
};

struct DomainDetails {
    struct Metric {
        const char* expected;
        const char* count;
        int64_t average_us = 0;
        int32_t runs = 0;
    };

    std::string name;
    std::vector<Metric> metrics;
    std::size_t ap_count = 0;
    std::size_t unanswered_count = 0;
    std::size_t deleted_count = 0;
    uint64_t queue_size = 0;
    int32_t rrm_status = 0;
    int32_t fbt_status = 0;
    std::vector<ApDetails> aps;
    std::vector<ApDetails> unanswered;
    std::vector<ApDetails> deleted;

    // The APs of a map in ascending MAC order.
    static std::vector<ApDetails> of(const ApMap& map);
    // Adds the member "details" to out.
    void to_json(JsonWriter& out) const;
};

}  // namespace rrm
