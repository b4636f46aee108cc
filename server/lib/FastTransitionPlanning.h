#pragma once
// The 802.11r planning of a domain's active APs: key-holder identities and
// RRB keys for the VAPs that lack them, and the links between the VAPs
// that serve one SSID on different APs. The planning sub-worker runs it on
// the domain worker's thread (TpcDcaSubworker::update_802dot11r) and
// sends the result in "fbt-info".

namespace rrm {

class ApEntry;
class ApMap;

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
bool plan_fbt_links(ApMap& aps, bool server_wildcard);

}  // namespace rrm
