// A board saved between any two runs and restored into a fresh machine goes
// on exactly as the run that was never interrupted: the same console bytes,
// register accesses at the same times, instruction count, time and exit.
#include <functional>

#include "harness.hpp"
#include "machine/board_state.hpp"

using namespace kelto::test;
using kelto::sim::BoardState;
using kelto::sim::Button;

namespace {

// The console tour in slices that end anywhere: inside a delay, a frame on
// the wire, bytes in the transmit FIFO, a button held.
struct Slice {
    const char *keys;
    double seconds;
    int button = -1;  // 0 release up, 1 hold up
    bool step = false;
};
const Slice tour[] = {
    {"", 0.004},      {"", 0.0371},   {"1", 0.0002}, {"", 0.05},   {"", 0.0003, 1}, {"", 0.2},
    {"", 0.001, 0},   {"q", 0.00015}, {"", 0.3},     {"2", 0.001}, {"", 1.51},      {"", 0, -1, true},
    {"", 0.0004},     {"", 9.7},      {"32", 0.0001}, {"", 0.3},   {"1", 0.00009},  {"", 0.2},
    {"x", 0.3},       {"x", 1},
};

struct Mark {
    BoardState state;
    std::size_t accesses;
};

void play(Machine &m, const Slice &slice)
{
    m.feed_console(slice.keys);
    if (slice.button >= 0)
        m.set_button(Button::up, slice.button == 1);
    if (slice.step)
        m.step();
    else if (!m.main_returned()) {
        RunLimits limits;
        limits.seconds = slice.seconds;
        limits.until_waiting = false;
        m.run(limits);
    }
}

class StateTest : public testing::TestWithParam<int> {};

TEST_P(StateTest, RestoredBoardGoesOnAsTheUninterruptedOne)
{
    const std::string image = "consolefw-" + std::to_string(GetParam());
    auto whole = load(image);
    std::vector<Mark> marks;
    bool wire = false, fifo = false;
    for (const Slice &slice : tour) {
        marks.push_back(Mark{whole->save_state(), whole->accesses().size()});
        play(*whole, slice);
        wire = wire || !whole->console().line_idle();
        fifo = fifo || whole->console().peek(kelto::sim::UartChannel::UFSTAT).value_or(0) & 0x3F00;
    }
    ASSERT_TRUE(whole->main_returned()) << whole->console_output();
    ASSERT_TRUE(wire && fifo) << "the tour never stopped with a byte on the wire or in the transmit FIFO";

    for (std::size_t at = 0; at < marks.size(); at++) {
        SCOPED_TRACE("restored before slice " + std::to_string(at));
        auto resumed = load(image);
        resumed->restore_state(marks[at].state);
        for (std::size_t n = at; n < std::size(tour); n++)
            play(*resumed, tour[n]);
        const std::vector<Access> rest(whole->accesses().begin() + static_cast<std::ptrdiff_t>(marks[at].accesses),
                                       whole->accesses().end());
        EXPECT_EQ(resumed->console_output(), whole->console_output());
        EXPECT_EQ(resumed->console().output_times(), whole->console().output_times());
        EXPECT_EQ(listing(resumed->accesses()), listing(rest));
        ASSERT_EQ(resumed->accesses().size(), rest.size());
        for (std::size_t n = 0; n < rest.size(); n++)
            ASSERT_EQ(resumed->accesses()[n].time, rest[n].time) << "access " << n;
        EXPECT_EQ(resumed->clock().instructions(), whole->clock().instructions());
        EXPECT_EQ(resumed->clock().now(), whole->clock().now());
        EXPECT_EQ(resumed->register_accesses(), whole->register_accesses());
        EXPECT_EQ(resumed->reg(0), whole->reg(0));
        EXPECT_TRUE(resumed->main_returned());
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, StateTest, testing::Values(64, 24));

// A file goes back into a machine of its image only, whole and unchanged.
TEST(StateFile, RoundTripsAndRefusesAnyOtherFile)
{
    auto saved = load("consolefw-64");
    run_until_waiting(*saved);
    const BoardState state = saved->save_state();
    const std::uint64_t waited = saved->clock().instructions();
    const std::uint64_t image = saved->image().fingerprint();
    const BoardState again = saved->save_state();
    ASSERT_EQ(again.dram.size(), state.dram.size());
    for (std::size_t n = 0; n < state.dram.size(); n++)
        EXPECT_EQ(again.dram[n].bytes, state.dram[n].bytes) << "an unchanged page was copied, not shared";

    using Bytes = std::vector<std::uint8_t>;
    const struct {
        const char *name;
        std::function<void(Bytes &)> change;
        std::uint64_t image;
        const char *refusal;
    } cases[] = {
        {"intact", [](Bytes &) {}, image, nullptr},
        {"another image", [](Bytes &) {}, image + 1, "a state of another image"},
        {"another version", [](Bytes &b) { b[8]++; }, image, "format version 2, where this keltosim reads 1"},
        {"not a state", [](Bytes &b) { b[0] = 'k'; }, image, "not a keltosim state file"},
        {"header cut", [](Bytes &b) { b.resize(30); }, image, "not a keltosim state file"},
        {"truncated", [](Bytes &b) { b.pop_back(); }, image, "truncated"},
        {"grown", [](Bytes &b) { b.push_back(0); }, image, "bytes past its end"},
        {"flipped byte", [](Bytes &b) { b[b.size() / 2] ^= 4; }, image, "checksum does not match"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = kelto::sim::encode_state_file(state);
        c.change(bytes);
        const std::string path = write_temp_file("state_file", std::string(bytes.begin(), bytes.end()));
        if (c.refusal) {
            try {
                kelto::sim::read_state_file(path, c.image);
                ADD_FAILURE() << "accepted";
            } catch (const std::runtime_error &error) {
                const std::string what = error.what();
                EXPECT_TRUE(what.starts_with(path + ": ") && what.find(c.refusal) != std::string::npos) << what;
            }
            continue;
        }
        auto restored = load("consolefw-64");
        restored->restore_state(kelto::sim::read_state_file(path, c.image));
        restored->feed_console("x");
        saved->feed_console("x");
        EXPECT_EQ(run_to_end(*restored).value, run_to_end(*saved).value);
        EXPECT_EQ(restored->console_output(), saved->console_output());
    }

    // A state whose models do not read back leaves the machine as it was.
    BoardState cut = state;
    cut.parts.pop_back();
    auto fresh = load("consolefw-64");
    EXPECT_THROW(fresh->restore_state(cut), kelto::sim::StateError);
    run_until_waiting(*fresh);
    EXPECT_EQ(fresh->clock().instructions(), waited);
    EXPECT_EQ(fresh->console_output(), saved->console_output().substr(0, fresh->console_output().size()));
}

}  // namespace

// A board restored into a machine that has run other code runs the state's
// own: what the engine translated from bytes the restore changed is dropped.
TEST(StateTest, RestoredCodeReplacesWhatTheMachineTranslated)
{
    const std::uint32_t link = 0x50080000, mov_r0_2 = 0xE3A00002;
    auto machine = load_tiny(link, {{link, {0xE3A00001, 0xE12FFF1E}, 0, false}});  // mov r0, #1; bx lr
    const BoardState returns_one = machine->save_state();
    machine->write_bytes(link, &mov_r0_2, sizeof mov_r0_2);
    EXPECT_EQ(machine->run(RunLimits{}).value, 2u);
    machine->restore_state(returns_one);
    EXPECT_EQ(machine->run(RunLimits{}).value, 1u);
}
