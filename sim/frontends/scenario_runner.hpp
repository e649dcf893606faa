// Runs a scenario's steps against a session's board.
#pragma once

#include "frontends/scenario.hpp"
#include "frontends/session.hpp"

namespace kelto::sim::frontend {

// The exit status: 0 when every step passed, 65 with the failed step's
// message, or how the session ended meanwhile.
int run_scenario(Session &session, const Scenario &scenario);

}  // namespace kelto::sim::frontend
