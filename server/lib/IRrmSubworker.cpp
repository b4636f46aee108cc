#include "IRrmSubworker.h"

namespace rrm {

IRrmSubworker::IRrmSubworker(const DomainConfig* settings, const std::string* name,
                             RrmWorker* owner, ApMap* active, ApMap* deleted, ApMap* unanswered)
    : config(settings),
      domain_name(name),
      worker(owner),
      aps(active),
      aps_to_delete(deleted),
      unanswered_aps(unanswered)
{
}

IRrmSubworker::~IRrmSubworker() = default;

void IRrmSubworker::poll_timers()
{
    timers.poll();
}

}  // namespace rrm
