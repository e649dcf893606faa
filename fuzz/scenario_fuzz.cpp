// The scenario reader on any text: it either returns steps whose values a
// run can use as they are, or throws ScenarioError; anything else (another
// exception, a crash, a sanitizer report) is a fault.
#include <cstdlib>
#include <string>

#include "core/clock.hpp"
#include "frontends/scenario.hpp"
#include "fuzz_target.hpp"

using namespace kelto::sim;
using namespace kelto::sim::frontend;

namespace {

bool usable(const Step &step)
{
    return step.seconds >= 0 && step.seconds <= Clock::max_seconds && step.line >= 1 && !describe(step).empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    try {
        const Scenario scenario = parse_scenario(text, "fuzz.yaml");
        for (const Step &step : scenario.steps)
            if (!usable(step))
                std::abort();
        for (const BoardSpec *board : {&board_64(), &board_24()})
            check_against_board(scenario, *board);
    } catch (const ScenarioError &) {
    }
    return 0;
}
