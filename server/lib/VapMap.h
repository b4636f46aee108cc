#pragma once
// The VAPs of one radio, by SSID, with the 802.11r data each carries.

#include "MacAddress.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace rrm {

class JsonReader;
class Radio;
class JsonWriter;

// The identity of one remote key holder as a link names it. Never changed
// once made, so every link that names the same key holder shares one record
// (the planning makes one per remote VAP and R1 text), on any thread.
struct FbtKeyHolder {
    std::string r0;
    std::string r1;
    std::string key;
};

// One remote key holder of a VAP: a reference to a shared record, so a link
// costs one pointer pair instead of three texts (a VAP of a large domain
// holds thousands of links, and a domain millions).
class FbtLink {
public:
    // A record of its own.
    FbtLink(std::string r0_kh_id, std::string r1_kh_id, std::string r1_kh_key);
    // The shared record; never null.
    explicit FbtLink(std::shared_ptr<const FbtKeyHolder> holder);

    const std::string& remote_r0_kh_id() const { return holder_->r0; }
    const std::string& remote_r1_kh_id() const { return holder_->r1; }
    const std::string& remote_r1_kh_key() const { return holder_->key; }
    // Links made from one record: their texts are equal.
    const FbtKeyHolder* holder() const { return holder_.get(); }
    const std::shared_ptr<const FbtKeyHolder>& shared_holder() const { return holder_; }

private:
    std::shared_ptr<const FbtKeyHolder> holder_;
};

// The 802.11r mobility domain of an SSID: the SSID's bits, first byte and
// most significant bit first, reduced modulo x^16 + x^15 + x^2 + 1 from a
// zero register, without augmentation, inversion or reflection.
uint16_t mobility_domain(const std::string& ssid);

// The remote R1 identity of the broadcast link, compared as exact text.
constexpr const char* FBT_BROADCAST_R1_KH_ID = "ff:ff:ff:ff:ff:ff";
// Letters of every generated key (RRB keys and the wildcard key).
constexpr std::size_t FBT_KEY_LENGTH = 16;

// The wildcard key of every broadcast link of the process: 16 letters, made
// on the first call (safe against concurrent first calls) and never changed.
const std::string& fbt_wildcard_key();

class Vap {
public:
    int32_t vap_id = 0;
    MacAddress mac;
    std::string ssid;
    bool use_802dot11k = false;
    bool use_802dot11r = false;
    bool use_802dot11v = false;
    std::string fbt_r0_keyholder;
    std::string fbt_r1_keyholder;
    std::string fbt_rrb_key;
    std::vector<FbtLink> fbt_links;  // in the order they were added

    Vap() = default;
    Vap(int32_t vap_id, const std::string& ssid, const MacAddress& mac, bool use_802dot11k,
        bool use_802dot11r, bool use_802dot11v);

    uint16_t get_mobility_domain() const { return mobility_domain(ssid); }

    // Short form (state objects, backups): the remote R1 identities of the
    // links. Full form (the API's fast-transition view): key holders, RRB
    // key and the links whole. Links only while 802.11r is on.
    void to_json(JsonWriter& object) const;
    void to_json_full(JsonWriter& object) const;

    // What an AP's configuration is about: id and 802.11 flags. The MAC and
    // the fast-transition data are not compared.
    bool operator==(const Vap& other) const;
    bool operator!=(const Vap& other) const { return !(*this == other); }

    // Key holders, RRB key and links of one VAP element (AP message or
    // backup). Without "fbt-rrb-key" nothing is read; links are appended.
    void fbt_from_json(const JsonReader& vap);
    // A link matches a remote when its R0 identity and key equal the
    // remote's byte for byte and its R1 identity names the remote's R1 key
    // holder as a MAC, the locally-administered bit ignored.
    bool is_linked(const Vap& remote) const;
    // Removes the first matching link only.
    void unlink(const Vap& remote);
    void link(const Vap& remote, const std::string& r1_kh_id);
    void link(const Vap& remote) { link(remote, remote.fbt_r1_keyholder); }
    // Appends a link to a record that holds the remote's R0 identity and
    // key (the planning shares one record among the links it makes).
    void link(const std::shared_ptr<const FbtKeyHolder>& holder) { fbt_links.emplace_back(holder); }
    // Adds {"*", "ff:ff:ff:ff:ff:ff", wildcard key} unless present; true when
    // added.
    bool link_broadcast_802dot11r();

    // size - 1 random letters A-Z, a-z and a terminating zero. The letters
    // come from the kernel's cryptographic generator: the keys guard the
    // fast-transition key exchange. Null buffer or size 0: nullptr, nothing
    // written. Throws std::system_error when no random bytes can be had.
    static char* generate_random_key(char* buffer, std::size_t size);
};

// What reading a radio's VAPs needs of the radio: its MAC, the size of its
// VAP MAC pool (MACs radio_mac .. radio_mac + mac_count - 1; a count of 0
// or below is an empty pool) and its 802.11v lock.
struct VapPool {
    MacAddress radio_mac;
    int64_t mac_count = 0;
    bool locked_80211v = false;
};

class VapMap {
public:
    using Table = std::unordered_map<std::string, Vap>;

    Table table;

    Vap* find(const std::string& ssid);
    const Vap* find(const std::string& ssid) const;

    bool has_80211k_ssid(const std::string& ssid) const;
    bool has_80211k() const;
    bool has_80211r() const;
    bool has_80211v() const;

    // Same SSIDs, each with an equal VAP.
    bool operator==(const VapMap& other) const;
    bool operator!=(const VapMap& other) const { return !(*this == other); }

    void clear() { table.clear(); }
    void set(const std::string& ssid, const Vap& vap);
    void dump() const;

    // Replaces the table with the VAPs of a "vaps" array (a null reader
    // changes nothing). backup_keys picks the flag names of backups
    // ("use_802dot11k", ...) instead of those of AP messages ("802dot11k",
    // ...). A VAP MAC outside the pool is replaced by the VAP's default MAC
    // (Warning) or, when that is outside too, the VAP is left out (Error,
    // event 11).
    void from_json(const JsonReader& vaps, const VapPool& pool, bool backup_keys);
    // The same with the pool of the owning radio.
    void from_json(const JsonReader& vaps, const Radio& radio, bool backup_keys);

    // One object per VAP appended to an array writer.
    void to_json(JsonWriter& array) const;
    void to_json_full(JsonWriter& array) const;
    // The VAPs in ascending SSID byte order: the order of both array forms,
    // so equal tables always give equal arrays.
    std::vector<const Vap*> sorted() const;

    std::size_t size() const { return table.size(); }
    bool empty() const { return table.empty(); }
    Table::iterator begin() { return table.begin(); }
    Table::iterator end() { return table.end(); }
    Table::const_iterator begin() const { return table.begin(); }
    Table::const_iterator end() const { return table.end(); }
};

}  // namespace rrm
