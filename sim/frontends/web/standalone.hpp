// Stand-in until the session hub takes front ends (Session::add_frontend):
// runs a board with the web view as its only front end. Delete this file and
// its use in main.cpp once the hub lands.
#pragma once

#include "frontends/cli.hpp"

namespace kelto::sim::frontend::web {

// Runs until main returns or the process is stopped; the exit status.
int run_web_only(const Options &options);

}  // namespace kelto::sim::frontend::web
