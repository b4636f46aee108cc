#pragma once
// The 802.11r planning of a domain's active APs: key-holder identities and
// RRB keys for the VAPs that lack them, and the links between the VAPs
// that serve one SSID on different APs. The planning sub-worker runs it on
// the domain worker's thread (TpcDcaSubworker::update_802dot11r) and
// sends the result in "fbt-info".

#include "MacAddress.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace rrm {

class ApEntry;
class ApMap;
class Vap;
struct FbtKeyHolder;
class LinkPlanner;

// The most active APs a domain may hold for every 802.11r VAP to be linked
// with every VAP of its SSID on every other AP. Past it each AP with scan
// data is linked only with the APs its clients can roam to: those that
// hear it and those it hears. (The text a full mesh asks for grows with
// the square of the domain: at 1,000 tri-band APs a round is gigabytes.)
constexpr std::size_t FBT_FULL_MESH_MAX_APS = 100;

// Whether the AP has scan data: something in its scan view. Without it,
// an AP keeps the full mesh whatever the domain's size.
bool has_scan_data(const ApEntry& ap);

// Gives every VAP with 802.11r on an enabled radio of the AP what it lacks:
// an R0 identity (the AP's serial, or the VAP's MAC as twelve hexadecimal
// digits when the server and the AP both use the wildcard key holder), an
// R1 identity (the VAP's MAC) and a 16-letter RRB key. Set values stay.
void fill_missing_key_holders(ApEntry& ap, bool server_wildcard);

// One pass of the link planning over every AP of `aps`, in ascending MAC
// order: links whose remote key holder no VAP of another AP holds any more
// are erased, links to VAPs of another SSID are removed, the missing links
// to the VAPs of the same SSID on the other APs (same band, or any band
// once one of the two APs has a 6 GHz radio enabled) are added, and, with
// both wildcard settings on, the broadcast link. Sets fbt_changed of every
// AP whose links changed; returns whether any did (or was marked so).
//
// The result is that of comparing every link with every VAP of the domain,
// found through indexes built once per pass: the cost grows with the
// number of VAPs and of links, not with their product.
//
// Past full_mesh_max_aps active APs, "the other APs" of an AP with scan data
// are the APs that hear it or that it hears (ApMap::hearing_partners); the
// steps are the same, so links to any other AP are erased as broken.
bool plan_fbt_links(ApMap& aps, bool server_wildcard,
                    std::size_t full_mesh_max_aps = FBT_FULL_MESH_MAX_APS);

// The key-holder records a pass made for the links to one remote VAP: as
// stored, and as some AP hears it. New links to the remote share them.
struct MadeHolders {
    std::shared_ptr<const FbtKeyHolder> stored;
    std::shared_ptr<const FbtKeyHolder> heard;
};
using MadeHolderCache = std::unordered_map<const Vap*, MadeHolders>;

// One pass of plan_fbt_links spread over steps: each step plans the APs
// that follow the last one planned (in MAC order) until it has done a given
// amount of work, on the domain as it is then (APs that came or went
// between steps are planned or not as they are found). With no change
// between the steps the result is that of one pass. The work of an AP is
// the links and candidate remotes its VAPs are checked against; counting
// it rather than time makes a step's share the same on any machine.
class FbtPlanning {
public:
    // With `only`, the steps plan those APs only (each in one go, once the
    // indexes are made), the other APs are read.
    FbtPlanning(bool server_wildcard, std::size_t full_mesh_max_aps,
                std::vector<MacAddress> only = {});
    ~FbtPlanning();
    FbtPlanning(const FbtPlanning&) = delete;
    FbtPlanning& operator=(const FbtPlanning&) = delete;

    // Plans on from where the last step ended, at least one AP, until its
    // work reaches `work`; appends the keys of the APs it planned whose
    // fbt_changed is set. True once the last AP is planned. `activity`
    // tells whether the domain may have changed since the last step (it
    // differs then): the indexes of the domain are made again only when it
    // may have. They are made in shares of `build_vaps` 802.11r VAPs (at
    // least one AP) a step: a step that leaves them incomplete plans
    // nothing, and the domain must not change until they are complete (a
    // change makes them start over).
    bool step(ApMap& aps, std::size_t work, std::vector<MacAddress>& changed_aps,
              uint64_t activity = 0, std::size_t build_vaps = SIZE_MAX);
    // The indexes are partly made: a message handled now would make them
    // start over.
    bool building() const;
    // Some AP's links changed (or it was marked so) in a step so far.
    bool changed() const { return changed_; }
    // One more AP of `only` to plan.
    void add(const MacAddress& key) { only_.push_back(key); }

private:
    const bool server_wildcard_;
    const std::size_t full_mesh_max_aps_;
    std::vector<MacAddress> only_;
    bool started_ = false;
    MacAddress next_;  // the AP to plan next: the first at or after it
    bool changed_ = false;
    MadeHolderCache holders_;
    std::unique_ptr<LinkPlanner> planner_;
    uint64_t activity_ = 0;
};

}  // namespace rrm
