#pragma once

// The agent binary of this build as the process-level tests start it.

#include "test_support.hpp"

#include <signal.h>

#include <string>
#include <vector>

namespace orq::test {

// The agent's command line with the arguments.
inline std::vector<std::string> agent_argv(std::vector<std::string> _args) {
    _args.insert(_args.begin(), ORQ_AGENT_BINARY);
    return _args;
}

// True once the agent handles SIGINT and SIGTERM: ready for an orderly stop.
inline bool ready_for_signals(const child_process& _agent) {
    return wait_until([&] { return catches_signals(_agent.pid(), {SIGINT, SIGTERM}); });
}

}  // namespace orq::test
