#include "LoadBalancerSubworker.h"

namespace rrm {

LoadBalancerSubworker::~LoadBalancerSubworker() = default;

void LoadBalancerSubworker::force_optimization()
{
}

bool LoadBalancerSubworker::process_message(const JsonReader&, const char*, ApEntry*)
{
    return true;
}

void LoadBalancerSubworker::process_timer()
{
}

void LoadBalancerSubworker::stop()
{
}

}  // namespace rrm
