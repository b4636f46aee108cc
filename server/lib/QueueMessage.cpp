#include "QueueMessage.h"

#include <utility>

namespace rrm {

QueueMessage::QueueMessage(JsonReader&& json_doc, const BaseSession& from)
    : session(from), json(std::move(json_doc))
{
}

QueueMessage::QueueMessage(std::string&& serialized, const BaseSession& from)
    : session(from), json(static_cast<const char*>(nullptr)), text(std::move(serialized))
{
    serialized.clear();  // a moved-from string is only "valid"; callers expect it empty
}

const char* QueueMessage::get_text() const
{
    if (!text.empty())
        return text.c_str();
    return json.to_string();
}

}  // namespace rrm
