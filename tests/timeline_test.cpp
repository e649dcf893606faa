// Going back in a recorded run lands on the very board the run had there,
// and forward and back again agree: the timeline alone, no debugger.
#include <chrono>
#include <functional>
#include <tuple>

#include "frontends/bundle.hpp"
#include "frontends/console.hpp"
#include "frontends/coverage.hpp"
#include "frontends/profile.hpp"
#include "harness.hpp"
#include "machine/timeline.hpp"

using namespace kelto::test;
using kelto::sim::BoardState;
using kelto::sim::Button;
using kelto::sim::Timeline;
using kelto::sim::frontend::Coverage;
using kelto::sim::frontend::Profile;
using kelto::sim::frontend::past_input_question;

namespace {

// The host of a debugging session: a firmware that waits for input with
// none typed stands there until someone stops it.
struct StandingHost : kelto::sim::HostLink {
    Pump pump(Machine &machine, int) override { return machine.stop(), Pump::nothing; }
    void transmitted(Machine &, std::uint8_t) override {}
};

void expect_same_board(const BoardState &got, const BoardState &want)
{
    EXPECT_EQ(got.parts, want.parts);
    ASSERT_EQ(got.dram.size(), want.dram.size());
    for (std::size_t n = 0; n < got.dram.size(); n++)
        EXPECT_EQ(*got.dram[n].bytes, *want.dram[n].bytes) << "DRAM page " << got.dram[n].index;
}

TEST(Timeline, GoingToAnyPointGivesTheBoardTheRunHadThere)
{
    // Loaded bare: it counts its own coverage, not make coverage's.
    auto m = Machine::load(image_path("consolefw-64"));
    StandingHost host;
    Timeline timeline(*m, host, Timeline::Options{std::uint64_t{1} << 14, std::size_t{64} << 20, 2});
    // Counting from after the first state, which has none of their counts.
    Profile profile(*m);
    Coverage coverage(*m, KELTO_SOURCE_DIR);
    struct Mark {
        kelto::sim::Cycles time;
        BoardState state;
    };
    std::vector<Mark> marks;
    const struct {
        const char *keys;
        double seconds;
        int button;
    } tour[] = {{"", 0.004, -1},  {"", 0.0371, -1}, {"1", 0.0002, -1}, {"", 0.05, 1},  {"", 0.2, 0},
                {"q", 0.0015, -1}, {"2", 0.001, -1}, {"", 0.3, -1},     {"32", 0.01, -1}, {"1", 0.2, 1}};
    for (const auto &slice : tour) {
        for (int part = 0; part < 3; part++) {
            timeline.between_runs();
            marks.push_back(Mark{m->clock().now(), m->save_state()});
            if (part == 0) {
                m->feed_console(slice.keys);
                if (slice.button >= 0)
                    m->set_button(Button::up, slice.button == 1);
            }
            RunLimits limits;
            limits.seconds = slice.seconds / 3;
            limits.until_waiting = false;
            m->run(limits);
        }
    }
    timeline.between_runs();
    ASSERT_FALSE(timeline.in_past());
    ASSERT_GT(m->console_output().size(), 100u) << m->console_output();
    const std::string output = m->console_output();
    const BoardState end = m->save_state();
    profile.settle();
    const std::string stacks = profile.folded(), lines = to_lcov(coverage.report());

    for (std::size_t n = marks.size(); n-- > 0;) {
        SCOPED_TRACE("mark " + std::to_string(n));
        timeline.go_to(marks[n].time);
        ASSERT_EQ(m->clock().now(), marks[n].time);
        expect_same_board(m->save_state(), marks[n].state);
        // Back from a point inside a wait: the instruction before it.
        const std::uint64_t count = m->clock().instructions();
        timeline.step_back();
        EXPECT_EQ(m->clock().instructions() + 1, n == 0 ? count + 1 : count);
        timeline.go_to(marks[n].time);
        // One instruction on and back again.
        m->step();
        timeline.step_back();
        expect_same_board(m->save_state(), marks[n].state);
    }
    // Stops at a breakpoint on the way, which the recorded run ran through,
    // change nothing that follows.
    m->add_breakpoint(m->symbol("kelto_uart_putc"));
    timeline.go_to(timeline.end().time);
    expect_same_board(m->save_state(), end);
    // What ran again, and what ran in the past, counted as the one run.
    EXPECT_EQ(to_lcov(coverage.report()), lines);
    profile.settle();
    EXPECT_EQ(profile.folded(), stacks);
    m->remove_breakpoint(m->symbol("kelto_uart_putc"));
    // Forward from the start, with the recorded input, to the end.
    EXPECT_EQ(timeline.go_to(0).kind, Timeline::Stop::Kind::begin);
    while (timeline.in_past()) {
        timeline.between_runs();
        RunLimits limits;
        limits.until = timeline.next_input();
        m->run(limits);
        timeline.between_runs();
    }
    EXPECT_EQ(m->console_output(), output);
    // The same time on the same stacks, though these runs, cut elsewhere,
    // ran waits that the recorded ones let pass, and the other way round.
    profile.settle();
    EXPECT_EQ(profile.folded(), stacks);
}

// Forward in the recorded past, a run stops at each breakpoint where the
// recorded run did, though each recorded run started at one.
TEST(Timeline, ForwardInThePastStopsAtEachBreakpointAsTheRecordedRunDid)
{
    auto m = load("consolefw-64");
    StandingHost host;
    Timeline timeline(*m, host, Timeline::Options{});
    m->add_breakpoint(m->symbol("kelto_uart_putc"));
    const auto stops = [&](std::vector<std::uint64_t> at = {}) {
        for (int run = 0; run < 100 && at.size() < 8; run++) {
            RunLimits limits;
            timeline.between_runs();
            timeline.replay_limits(limits);
            if (m->run(limits).reason == kelto::sim::StopReason::breakpoint)
                at.push_back(m->clock().instructions());
        }
        return at;
    };
    const auto recorded = stops();
    timeline.go_to(0);
    EXPECT_EQ(stops(), recorded);
    // A person typing there is asked first, once per point of the past.
    std::optional<std::uint64_t> asked;
    timeline.go_to(timeline.end().time / 2);
    EXPECT_TRUE(past_input_question(&timeline, asked));
    EXPECT_FALSE(past_input_question(&timeline, asked));
    m->step();
    EXPECT_TRUE(past_input_question(&timeline, asked));
    timeline.go_to(timeline.end().time);
    EXPECT_FALSE(past_input_question(&timeline, asked));
    EXPECT_FALSE(past_input_question(nullptr, asked));
}

// A bundle takes a recording's end to a machine of the same image, where it
// replays to the very board the run ended with; any other file is refused.
TEST(Bundle, ReplaysTheRecordingsEndElsewhereAndRefusesAnyOtherFile)
{
    using namespace kelto::sim::frontend;
    auto m = load("consolefw-64");
    const Timeline::Options options{10000, std::size_t{64} << 20};
    // A firmware waiting for input lets time pass, as on a pipe.
    struct PassingHost : kelto::sim::HostLink {
        Pump pump(Machine &, int) override { return Pump::nothing; }
        void transmitted(Machine &, std::uint8_t) override {}
    } host;
    Timeline timeline(*m, host, options);
    for (const char *keys : {"3", "2", "", "1"}) {
        timeline.between_runs();
        m->feed_console(keys);
        m->set_button(Button::left, *keys == '\0');
        RunLimits limits;
        limits.seconds = 0.01;
        limits.until_waiting = false;
        m->run(limits);
    }
    const Bundle bundle{timeline.excerpt(), "the reason", 65, true};
    ASSERT_GT(bundle.recording.inputs.size(), 2u);
    const std::uint64_t image = m->image().fingerprint();
    const Bundle got = decode_bundle(encode_bundle(bundle), image);
    EXPECT_EQ(std::tie(got.reason, got.status, got.fault), std::tie(bundle.reason, bundle.status, bundle.fault));
    auto fresh = load("consolefw-64");
    Timeline replay(*fresh, host, options, got.recording);
    ASSERT_GT(fresh->clock().instructions(), 0u) << "the excerpt starts with the run";
    for (int run = 0; run < 100 && replay.in_past(); run++) {
        replay.between_runs();
        RunLimits limits;
        limits.until_waiting = false;
        replay.replay_limits(limits);
        fresh->run(limits);
    }
    EXPECT_EQ(fresh->clock().instructions(), m->clock().instructions());
    expect_same_board(fresh->save_state(), m->save_state());

    using Bytes = std::vector<std::uint8_t>;
    const std::pair<const char *, std::function<void(Bytes &, std::uint64_t &)>> refusals[] = {
        {"a bundle of another image", [](Bytes &, std::uint64_t &of) { of ^= 1; }},
        {"checksum does not match", [](Bytes &b, std::uint64_t &) { b[b.size() - 40] ^= 1; }},
        {"the bundle file is truncated", [](Bytes &b, std::uint64_t &) { b.pop_back(); }},
        {"not a keltosim bundle file",
         [&](Bytes &b, std::uint64_t &) { b = kelto::sim::encode_state_file(m->save_state()); }},
    };
    for (const auto &[refusal, change] : refusals) {
        Bytes bytes = encode_bundle(bundle);
        std::uint64_t of = image;
        change(bytes, of);
        try {
            decode_bundle(bytes, of);
            ADD_FAILURE() << "accepted: " << refusal;
        } catch (const kelto::sim::StateError &error) {
            EXPECT_NE(std::string(error.what()).find(refusal), std::string::npos) << error.what();
        }
    }
}

}  // namespace

namespace {

// Every recent state, then every 2nd, 4th, 8th... in bands as long as the
// recent one, each spacing a multiple of the one before.
TEST(Timeline, ThinningKeepsStatesEverMoreSparselyWithAge)
{
    const struct {
        std::uint64_t number;
        bool kept;
    } states[] = {{20, true}, {17, true}, {16, true}, {15, false}, {14, true}, {9, false},
                  {10, true}, {8, true},  {7, false}, {6, false},  {4, true},  {0, true}};
    for (const auto &state : states)
        EXPECT_EQ(Timeline::keeps(state.number, 20, 4), state.kept) << state.number;
    std::size_t kept = 0;
    for (std::uint64_t number = 0; number <= 100'000; number++)
        kept += Timeline::keeps(number, 100'000, 32);
    EXPECT_LT(kept, 32u * 14) << "about 32 in each of log2(100000 / 32) bands";
}

// A paced run waits for the host where the virtual clock skips, and ends on
// the very board the virtual clock's run does; the recording, within its
// memory, drops its oldest history.
TEST(Timeline, APacedRecordedRunIsTheVirtualRunInRealTime)
{
    // Bare: make coverage's counts, kept with each state, would not fit the
    // small memory limit.
    auto counted = load("consolefw-64"), paced = Machine::load(image_path("consolefw-64"));
    paced->clock().pace(true);
    struct : kelto::sim::HostLink {
        Pump pump(Machine &, int) override { return Pump::nothing; }
        void transmitted(Machine &, std::uint8_t) override {}
    } host;
    Timeline timeline(*paced, host, Timeline::Options{std::uint64_t{1} << 10, std::size_t{32} << 10, 2});
    const auto tenth_of_the_timer_test = [](Machine &m, Timeline *recording) {
        m.feed_console("2");
        for (int slice = 0; slice < 10; slice++) {
            if (recording)
                recording->between_runs();
            RunLimits limits;
            limits.seconds = 0.01;
            limits.until_waiting = false;
            m.run(limits);
        }
    };
    tenth_of_the_timer_test(*counted, nullptr);
    const auto start = std::chrono::steady_clock::now();
    tenth_of_the_timer_test(*paced, &timeline);
    EXPECT_GT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.08);
    expect_same_board(paced->save_state(), counted->save_state());
    EXPECT_LE(timeline.memory(), timeline.memory_limit());
    EXPECT_GT(timeline.start().time, 0u);
}

}  // namespace
