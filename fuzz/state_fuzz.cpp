// Any bytes as a state file for the console firmware of board 64: refused
// with a StateError or restored, never a crash, a hang or a read past the
// input. A restored board then runs a little, which a state that decoded
// into nonsense could not survive unnoticed.
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz_target.hpp"
#include "machine/board_state.hpp"
#include "machine/machine.hpp"

using namespace kelto::sim;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const std::unique_ptr<Machine> machine = [] {
        auto loaded = Machine::load(std::string(KELTO_IMAGE_DIR) + "/consolefw-64");
        loaded->set_logging(false);
        return loaded;
    }();
    // An input that starts with the file's magic is a file as a user could
    // hand it over; any other is a payload, sealed here with a header that
    // matches it, since no fuzzer finds a checksum by chance.
    const std::uint64_t image = machine->image().fingerprint();
    const std::span<const std::uint8_t> input(data, size);
    std::vector<std::uint8_t> file(input.begin(), input.end());
    if (size < 8 || std::memcmp(data, "KELTOST\x1a", 8) != 0) {
        StateWriter sealed;
        sealed.raw({reinterpret_cast<const std::uint8_t *>("KELTOST\x1a"), 8});
        sealed.u32(state_format_version);
        sealed.u64(image);
        sealed.u64(size);
        sealed.u64(fnv1a64(input));
        sealed.raw(input);
        file = sealed.take();
    }
    BoardState state;
    try {
        state = decode_state_file(file, image);
    } catch (const StateError &) {
        return 0;
    }
    try {
        machine->restore_state(state);
    } catch (const StateError &) {
        return 0;
    }
    RunLimits limits;
    limits.seconds = 0.01;
    if (!machine->main_returned())
        machine->run(limits);
    return 0;
}
