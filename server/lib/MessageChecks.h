#pragma once
// The two envelope checks every message for a domain worker passes before the
// worker acts on it. Plain predicates: they change nothing and log nothing.

namespace rrm {

class JsonReader;

// The AP protocol version the server speaks and writes into its own messages.
inline constexpr const char* AP_PROTOCOL_VERSION = "2.4";

// True for the pairs of "service" and "cmd" a domain worker accepts: the two
// "rrm-internal" commands, and the eleven AP commands of service "rrm" when
// "ap-mac" is a non-empty text.
bool check_message_type(const JsonReader& message);

// True when the message's "version" and the reference both read as
// "major.minor", the majors are equal and the message's minor is not above
// the reference's.
bool check_message_version(const JsonReader& message, const char* reference);

}  // namespace rrm
