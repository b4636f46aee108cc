#pragma once
// The unit that worker queues and connection queues carry: a session handle
// with either a parsed document or a text that is already serialized. Always
// made with std::make_shared and passed around by its shared pointer; never
// copied, and not changed once queued.

#include "BaseSession.h"
#include "JsonReader.h"

#include <memory>
#include <string>

namespace rrm {

class QueueMessage {
public:
    // Takes the document over; the source reader is left empty.
    QueueMessage(JsonReader&& json, const BaseSession& session);
    // Takes the text over; the document stays empty and the text is never
    // parsed.
    QueueMessage(std::string&& text, const BaseSession& session);
    QueueMessage(const QueueMessage&) = delete;
    QueueMessage& operator=(const QueueMessage&) = delete;

    // The text when there is one, else the compact form of the document
    // ("null" when it is empty); valid while the message lives.
    const char* get_text() const;

    BaseSession session;
    JsonReader json;
    std::string text;
    // Queued by the server itself (a worker's own stop, the registry's
    // notices), never by an AP: only such a message may carry an internal
    // command. Set before the message is queued.
    bool from_server = false;
    // Kept by the AP transport until it has handed the text whole to the
    // connection, then released (also when the message is dropped): the
    // sender's back-pressure (SendWindow). Null for most messages.
    std::shared_ptr<const void> hold;
};

}  // namespace rrm
