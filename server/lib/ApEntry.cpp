#include "ApEntry.h"

namespace rrm {

ApEntry::ApEntry(const DomainConfig* domain_config, const MacAddress& mac,
                 const BaseSession& ap_session)
    : base_mac(mac), config(domain_config), session(ap_session)
{
}

}  // namespace rrm
