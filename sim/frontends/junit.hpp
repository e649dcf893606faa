// A suite's results as JUnit XML, the report CI systems read: one
// testsuite, a testcase per scenario.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "frontends/suite.hpp"

namespace kelto::sim::frontend {

// Text for an XML attribute or element. Console bytes are taken one
// character each (Latin-1, as in scenario files) and written as UTF-8; the
// control characters XML cannot carry at all show as \xNN.
std::string xml_text(std::string_view bytes);

// Writes the file whole, through a temporary beside it, so that a reader
// never sees half a report. Throws std::runtime_error when it cannot.
void write_junit(const std::string &path, const std::string &image, const std::vector<ScenarioResult> &results,
                 double host_seconds);

}  // namespace kelto::sim::frontend
