#include "BlacklistSubworker.h"

namespace rrm {

BlacklistSubworker::~BlacklistSubworker() = default;

void BlacklistSubworker::force_optimization()
{
}

bool BlacklistSubworker::process_message(const JsonReader&, const char*, ApEntry*)
{
    return true;
}

void BlacklistSubworker::process_timer()
{
}

void BlacklistSubworker::stop()
{
}

}  // namespace rrm
