// The machine's strict checks: what a real board would let pass silently
// stops the run with a report that says what was accessed and from where.
// Library and driver functions of the images, called with addresses they
// would never get from the firmware, provoke each case.
#include <chrono>
#include <cstdio>
#include <string>

#include "harness.hpp"
#include "machine/control_flow.hpp"
#include "machine/instructions.hpp"

using namespace kelto::test;

namespace {

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

const Machine::Options halting{std::nullopt, kelto::sim::ClockMode::virtual_time, true};

class StrictMachine : public testing::Test {
protected:
    void SetUp() override
    {
        m = load("pollfw-64");
        ASSERT_EQ(call(*m, "kelto_uart_init", {1, 115200}), 0u);
    }

    // The fault's pc lies inside the named function, and the report says so.
    void expect_fault_in(const RunResult &result, const std::string &function)
    {
        ASSERT_TRUE(m->fault()) << describe(result);
        const auto symbol = m->image().find(function);
        ASSERT_TRUE(symbol) << function;
        EXPECT_GE(m->fault()->pc, symbol->address) << result.message;
        EXPECT_LT(m->fault()->pc, symbol->address + symbol->size) << result.message;
        EXPECT_NE(result.message.find("pc " + hex(m->fault()->pc)), std::string::npos) << result.message;
        EXPECT_NE(result.message.find(function), std::string::npos) << result.message;
    }

    std::unique_ptr<Machine> m;
};

TEST_F(StrictMachine, ByteStoreToARegisterStops)
{
    constexpr std::uint32_t utxh = 0x7F005420;
    const RunResult result = call_expecting_fault(*m, "memset", {utxh, 'A', 1});
    expect_fault_in(result, "memset");
    EXPECT_EQ(m->fault()->address, utxh);
    EXPECT_NE(result.message.find("1 byte(s) at " + hex(utxh) + " (UTXH)"), std::string::npos) << result.message;
    settle(*m, 0.01);
    EXPECT_EQ(m->console_output(), "") << "the partial store reached the transmitter";
}

TEST_F(StrictMachine, WordStoreIntoARegisterHoleStops)
{
    // Past the last register of UART channel 1, inside the mapped page.
    constexpr std::uint32_t hole = 0x7F005430;
    const RunResult result = call_expecting_fault(*m, "kelto_gpio_get_val", {0, hole});
    expect_fault_in(result, "kelto_gpio_get_val");
    EXPECT_EQ(m->fault()->address, hole);
    EXPECT_NE(result.message.find(hex(hole)), std::string::npos) << result.message;
    EXPECT_NE(result.message.find("not a modelled register"), std::string::npos) << result.message;
}

TEST_F(StrictMachine, StoreOutsideDramAndRegistersStops)
{
    constexpr std::uint32_t nowhere = 0x10000000;
    const RunResult result = call_expecting_fault(*m, "kelto_gpio_get_val", {0, nowhere});
    expect_fault_in(result, "kelto_gpio_get_val");
    EXPECT_EQ(m->fault()->address, nowhere);
    EXPECT_NE(result.message.find("write of 0x00000001 to " + hex(nowhere)), std::string::npos) << result.message;
}

TEST_F(StrictMachine, LoadOutsideDramAndRegistersStops)
{
    constexpr std::uint32_t nowhere = 0x10000000;
    const RunResult result = call_expecting_fault(*m, "_write", {1, nowhere, 1});
    ASSERT_TRUE(m->fault());
    EXPECT_EQ(m->fault()->address, nowhere);
    EXPECT_NE(result.message.find("read of " + hex(nowhere)), std::string::npos) << result.message;
    EXPECT_NE(result.message.find("kelto_uart_"), std::string::npos) << "no pc in the driver: " << result.message;
}

TEST_F(StrictMachine, StoreIntoTheImagesCodeStopsAndLeavesItIntact)
{
    const std::uint32_t main = m->symbol("main");
    const std::uint32_t first = m->read_word(main);
    const RunResult result = call_expecting_fault(*m, "kelto_gpio_get_val", {0, main});
    expect_fault_in(result, "kelto_gpio_get_val");
    EXPECT_EQ(m->fault()->address, main);
    EXPECT_NE(result.message.find("into the image's code at " + hex(main) + " (main+0x0)"), std::string::npos)
        << result.message;
    EXPECT_EQ(m->read_word(main), first);
}

TEST_F(StrictMachine, StoreIntoReadOnlyDataStops)
{
    const std::uint32_t table = m->symbol("__sf_fake_stdout");
    const RunResult result = call_expecting_fault(*m, "_fstat", {1, table});
    ASSERT_TRUE(m->fault());
    EXPECT_GE(m->fault()->address, table);
    EXPECT_NE(result.message.find("__sf_fake_stdout"), std::string::npos) << result.message;
}

TEST_F(StrictMachine, StaysStoppedAfterAFault)
{
    const RunResult first = call_expecting_fault(*m, "kelto_gpio_get_val", {0, 0x10000000});
    const RunResult again = m->call("kelto_uart_putc", {'a'});
    EXPECT_EQ(again.reason, StopReason::fault);
    EXPECT_EQ(again.message, first.message);
    EXPECT_EQ(m->run().reason, StopReason::fault);
    settle(*m, 0.01);
    EXPECT_EQ(m->console_output(), "");
}

}  // namespace

TEST(MachineMemory, DataSharingAPageWithCodeStaysWritable)
{
    // Linked without the project's page alignment: the writable data lies in
    // the same 4 KiB page as the code that stores into it.
    const std::uint32_t link = 0x50080000;
    const std::uint32_t data = link + 0x100;
    const std::vector<std::uint32_t> code = {
        0xE59F1008,  // ldr r1, [pc, #8]   the data's address
        0xE3A00007,  // mov r0, #7
        0xE5810000,  // str r0, [r1]
        0xE12FFF1E,  // bx lr
        data,
    };
    auto machine = load_tiny(link, {{link, code, 0, false}, {data, {0x11111111}, 8, true}});
    EXPECT_EQ(machine->read_word(data), 0x11111111u) << "initialised data loaded";
    EXPECT_EQ(machine->read_word(data + 4), 0u) << ".bss zeroed";
    const RunResult result = run_to_end(*machine);
    EXPECT_EQ(result.value, 7u);
    EXPECT_EQ(machine->read_word(data), 7u);
}

// What a debugger does with the machine: stop at an instruction, step, watch
// DRAM and registers, look at registers without side effects, and halt at a
// fault with the registers the instruction found.
TEST(MachineDebug, BreakpointStepAndRegisters)
{
    auto m = load("consolefw-64");
    EXPECT_EQ(m->reg(15), m->symbol("main")) << "the loader's call is set up before main runs";
    EXPECT_EQ(m->reg(13), m->stack_top());
    const std::uint32_t init = m->symbol("kelto_uart_init");
    m->add_breakpoint(init);
    RunResult result = m->run();
    ASSERT_EQ(result.reason, StopReason::breakpoint) << describe(result);
    EXPECT_EQ(m->reg(15), init);
    EXPECT_EQ(m->reg(0), 1u) << "channel";
    EXPECT_EQ(m->reg(1), 115200u) << "baud rate";
    EXPECT_EQ(m->step().reason, StopReason::step);
    EXPECT_EQ(m->reg(15), init + 4);
    m->set_reg(15, init);  // back to the breakpoint: a run starts past it
    EXPECT_EQ(m->step().reason, StopReason::step);
    EXPECT_EQ(m->reg(15), init + 4);
    m->remove_breakpoint(init);
    EXPECT_EQ(run_until_waiting(*m).reason, StopReason::waiting_for_input);
    EXPECT_NE(m->console_output().find("x> Exit"), std::string::npos);
}

TEST(MachineDebug, WatchpointsStopAfterTheAccess)
{
    auto m = load("consolefw-64");
    constexpr std::uint32_t utxh = 0x7F005420;
    m->add_watchpoint(utxh, 4, kelto::sim::WatchKind::write);
    RunResult result = m->run();
    ASSERT_EQ(result.reason, StopReason::watchpoint) << describe(result);
    EXPECT_EQ(result.address, utxh);
    EXPECT_EQ(m->reg(15), m->image().find("_ZN12_GLOBAL__N_18send_rawEm")->address + 0x1C) << "after the store";
    settle(*m, 0.001);
    EXPECT_EQ(m->console_output().size(), 1u) << "the byte went out once";
    m->remove_watchpoint(utxh, 4, kelto::sim::WatchKind::write);
    EXPECT_EQ(run_until_waiting(*m).reason, StopReason::waiting_for_input);

    const std::uint32_t brightness = m->image().find("_ZN12_GLOBAL__N_110brightnessE")->address;
    m->add_watchpoint(brightness, 4, kelto::sim::WatchKind::write);
    m->feed_console("32");
    result = m->run();
    ASSERT_EQ(result.reason, StopReason::watchpoint) << describe(result);
    EXPECT_EQ(result.address, brightness);
    EXPECT_EQ(m->read_word(brightness), 90u);
    m->remove_watchpoint(brightness, 4, kelto::sim::WatchKind::write);

    // A debugger's look at URXH leaves the byte for the firmware.
    m->feed_console("2");
    settle(*m, 0.001);
    const std::vector<std::uint8_t> urxh = m->inspect(utxh + 4, 4);
    ASSERT_EQ(urxh.size(), 4u);
    EXPECT_EQ(urxh[0], '2');
    EXPECT_EQ(m->console().rx_waiting(), 1u);
    EXPECT_TRUE(m->inspect(0x10000000, 4).empty()) << "neither DRAM nor a register";
}

TEST(MachineDebug, HaltOnFaultKeepsTheFaultingInstruction)
{
    const std::uint32_t link = 0x50080000;
    // ldr r0, [pc, #4]; ldr r1, [r0], #4; bx lr; .word 0x10000000
    auto m = load_tiny(link, {{link, {0xE59F0004, 0xE4901004, 0xE12FFF1E, 0x10000000}, 0, false}}, halting);
    RunResult result = m->run();
    ASSERT_EQ(result.reason, StopReason::fault);
    EXPECT_NE(result.message.find("pc 0x50080004"), std::string::npos) << result.message;
    EXPECT_EQ(m->reg(15), link + 4);
    EXPECT_EQ(m->reg(0), 0x10000000u) << "no write-back";
    // The debugger mends the address; the run tries the instruction again.
    m->set_reg(0, link);
    result = m->run();
    EXPECT_EQ(result.reason, StopReason::returned) << describe(result);
    EXPECT_EQ(result.value, link + 4) << "written back once";
    EXPECT_EQ(m->reg(1), 0xE59F0004u);
}

// Each kind of fault, made by the instruction at link + 8 between two adds,
// halts at that instruction (a jump at its target) with the registers it
// found, and a step meets the same fault without running anything again.
TEST(MachineDebug, HaltOnFaultLeavesEveryFaultAtItsInstruction)
{
    const std::uint32_t link = 0x50080000, adds_r2 = 0xE2922001, faulting = link + 8;
    const std::uint32_t gap = 0x7F00883C, pin = 0x7F008834, nowhere = 0x10000000;
    // ARM: bx r0 (a jump where there is no code); ldr r1, [r0] outside DRAM and in
    // a register gap; strb r1, [r0] to a register; str r1, [r0] into code;
    // ldrd r4, r5, [r0] outside DRAM; an undefined instruction.
    // Thumb, two halfwords, nop (0x46C0) where one will do: ldr r1, [r0];
    // movs r3, #4; ldr r1, [r0, r3]; ldrsb r1, [r0, r3]; strh r1, [r0, #2];
    // str r1, [r0]; stmia r0!, {r1}; mov sp, r0; push {r1}; pop {r1}.
    const struct {
        std::uint32_t instruction, address, pc;
        bool thumb = false;
    } cases[] = {{0xE12FFF10, 0x50100000, 0x50100000}, {0xE5901000, nowhere, faulting}, {0xE5901000, gap, faulting},
        {0xE5C01000, pin, faulting}, {0xE5801000, link, faulting}, {0xE1C040D0, nowhere, faulting}, {0xE7F000F0, 0, faulting},
        {0x46C06801, nowhere, link + 4, true}, {0x58C12304, gap - 4, link + 6, true},
        {0x56C12304, pin - 4, link + 6, true}, {0x46C08041, pin - 2, link + 4, true}, {0x46C06001, link, link + 4, true},
        {0x46C0C002, link, link + 4, true}, {0xB4024685, nowhere + 4, link + 6, true}, {0xBC024685, nowhere, link + 6, true}};
    for (const auto &[instruction, address, pc, thumb] : cases) {
        // adds r2, r2, #1; ldr r0, [pc, #8]; INSTRUCTION; adds r2, r2, #1; bx lr; .word ADDRESS
        const std::vector<std::uint32_t> code = thumb
            ? std::vector<std::uint32_t>{0x48023201, instruction, 0x47703201, address}
            : std::vector<std::uint32_t>{adds_r2, 0xE59F0008, instruction, adds_r2, 0xE12FFF1E, address};
        auto m = load_tiny(link | thumb, {{link, code, 0, false}}, halting);
        for (const RunResult &result : {m->run(), m->step(), m->run()}) {
            EXPECT_NE(result.message.find("at pc " + hex(pc)), std::string::npos) << result.message;
            EXPECT_EQ(m->reg(15), pc) << result.message;
            EXPECT_EQ(m->reg(2), 1u) << result.message;
        }
    }
}

// No literal load can fault, so the pc it reads is checked here: its own
// address + 4, rounded down to a word.
TEST(MachineDebug, ThumbLiteralLoadsReadFromTheAlignedPc)
{
    for (const std::uint32_t at : {0x50080000u, 0x50080002u}) {
        const auto access = kelto::sim::thumb_access(0x4801, at, {});  // ldr r0, [pc, #4]
        ASSERT_TRUE(access.has_value());
        EXPECT_TRUE(access->load);
        EXPECT_EQ(access->first, 0x50080008u);
    }
}

// A profile follows tail calls by where a branch goes.
TEST(MachineDebug, BranchTargetsInBothStates)
{
    using kelto::sim::arm_branch_target, kelto::sim::thumb_branch_target;
    EXPECT_EQ(arm_branch_target(0x1000, 0xEAFFFFFE), 0x1000u);          // b .
    EXPECT_EQ(arm_branch_target(0x50080014, 0x1AFFFFFA), 0x50080004u);  // bne back five
    EXPECT_EQ(thumb_branch_target(0x2000, 0xE002), 0x2008u);
    EXPECT_EQ(thumb_branch_target(0x2000, 0xE400), 0x1804u);  // the farthest back
    EXPECT_EQ(thumb_branch_target(0x2010, 0xD1FC), 0x200Cu);  // bne back
}

// Hand-made ARM and Thumb loops at board 64's link address, run for ten
// seconds of board time (20 ms for those that must run) to exactly their
// deadline: those that can never change anything let the time pass without
// executing it (fewer instructions than cycles), the others run every cycle.
TEST(MachineIdle, LoopsThatChangeNothingLetTimePass)
{
    const std::uint32_t link = 0x50080000, gpndat = 0x7F008834, counter = 0x50100000;
    const struct {
        const char *name;
        std::vector<std::uint32_t> code;
        bool skips;
        bool for_ever;
        unsigned turn = 0;  // instructions per turn of a loop counting in memory
        bool thumb = false;
    } loops[] = {
        {"branch to itself", {0xEAFFFFFE}, true, true},
        {"mcr wfi", {0xEE070F90, 0xEAFFFFFD}, true, true},
        {"mcr wfi, r3", {0xEE073F90, 0xEAFFFFFD}, true, true},
        {"wfi", {0xE320F003, 0xEAFFFFFD}, true, true},
        // ldr r0, =GPNDAT; 1: ldr r1, [r0]; push {r1}; pop {r2}; b 1b
        {"polling a pin, stack restored", {0xE59F0010, 0xE5901000, 0xE52D1004, 0xE49D2004, 0xEAFFFFFB, 0, gpndat},
         true, false},
        // ldr r0, =GPNDAT; ldr r3, =counter; 1: ldr r1, [r0]; ldr r2, [r3];
        // add r2, r2, #1; str r2, [r3] (or stmia r3, {r2}); mov r2, #0; b 1b
        {"polling a pin, counting in memory",
         {0xE59F0018, 0xE59F3018, 0xE5901000, 0xE5932000, 0xE2822001, 0xE5832000, 0xE3A02000, 0xEAFFFFF9, gpndat,
          counter},
         false, false, 6},
        {"polling a pin, counting in memory with stm",
         {0xE59F0018, 0xE59F3018, 0xE5901000, 0xE5932000, 0xE2822001, 0xE8830004, 0xE3A02000, 0xEAFFFFF9, gpndat,
          counter},
         false, false, 6},
        {"Thumb branch to itself", {0xE7FE}, true, true, 0, true},
        // ldr r0, =GPNDAT; 1: ldr r1, [r0]; b 1b
        {"Thumb polling a pin", {0x68014801, 0x46C0E7FD, gpndat}, true, false, 0, true},
        // ldr r0, =GPNDAT; ldr r3, =counter; 1: ldr r1, [r0]; ldr r2, [r3];
        // adds r2, #1; str r2, [r3]; movs r2, #0; b 1b
        {"Thumb counting", {0x4B044803, 0x681A6801, 0x601A3201, 0xE7F92200, gpndat, counter}, false, false, 6, true},
        // ldr r0, =GPNDAT; 1: ldr r1, [r0]; str r1, [r0]; b 1b
        {"Thumb writing a pin", {0x68014801, 0xE7FC6001, gpndat}, false, false, 0, true},
    };
    for (const auto &loop : loops) {
        SCOPED_TRACE(loop.name);
        auto machine = load_tiny(link | loop.thumb, {{link, loop.code, 0, false}});
        // Enough to tell, and quick under the sanitizers too.
        const double seconds = loop.skips ? 10 : 0.02;
        const RunResult result = run_for(*machine, seconds);
        EXPECT_EQ(result.reason, StopReason::time_limit) << describe(result);
        EXPECT_EQ(machine->clock().now(), machine->clock().from_seconds(seconds));
        EXPECT_EQ(machine->clock().instructions() < machine->clock().now(), loop.skips);
        EXPECT_EQ(machine->idle_for_ever_at().has_value(), loop.for_ever);
        if (loop.for_ever) {
            EXPECT_EQ(*machine->idle_for_ever_at(), link);
            EXPECT_EQ(machine->run().reason, StopReason::idle_for_ever) << "with no time limit";
        }
        if (loop.turn) {
            const std::uint64_t turns = machine->clock().instructions() / loop.turn;
            EXPECT_NEAR(machine->read_word(counter), static_cast<double>(turns), 1);
        }
    }
}

TEST(MachineMemory, JumpOutsideTheCodeNamesWhereItCameFrom)
{
    const std::uint32_t link = 0x50080000;
    // ldr pc, [pc, #-4]: the word after it, an address in DRAM with no code.
    auto machine = load_tiny(link, {{link, {0xE51FF004, 0x50100000}, 0, false}});
    const RunResult result = machine->run();
    EXPECT_EQ(result.reason, StopReason::fault);
    EXPECT_NE(result.message.find("jump to 0x50100000, where the image has no code, from 0x50080000"),
              std::string::npos)
        << result.message;
    EXPECT_LT(machine->clock().instructions(), 10u);

    // An entry point in .data, and a debugger's pc where there is no code.
    machine = load_tiny(link + 0x1000, {{link, {0xE12FFF1E}, 0, false}, {link + 0x1000, {0}, 4, true}}, halting);
    EXPECT_EQ(machine->run().message.find("jump to 0x50081000, where the image has no code, from the boot loader"), 0u);
    machine->set_reg(15, 0x50100000);
    EXPECT_EQ(machine->step().message.find("jump to 0x50100000, where the image has no code, from a write to"), 0u);
}

// A debugger or a page may keep the board at main for a while (keltosim -S):
// on the wall clock, board time begins only when the board first runs.
TEST(MachineClock, WallTimeBeginsWithTheFirstRun)
{
    kelto::sim::Clock clock(1'000'000'000, kelto::sim::ClockMode::wall_time);
    const auto wait_on_host = [] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
        while (std::chrono::steady_clock::now() < until) {
        }
    };
    wait_on_host();
    clock.hold();
    wait_on_host();
    clock.release();
    EXPECT_EQ(clock.now(), 0u);
    clock.start();
    wait_on_host();
    EXPECT_GT(clock.now(), 0u);
}

// A run cut into slices, as scenario waits and debugger steps cut it, must
// count each instruction once and end each slice exactly on its deadline,
// wherever that falls in a block.
TEST(MachineClock, SlicedRunCountsEveryInstructionOnce)
{
    const std::uint32_t link = 0x50080000;
    const struct {
        const char *name;
        std::vector<std::uint32_t> code;
        bool thumb;
    } loops[] = {
        // mov r0, #0x10000; 1: subs r0, r0, #1; bne 1b; b .
        {"ARM", {0xE3A00801, 0xE2500001, 0x1AFFFFFD, 0xEAFFFFFE}, false},
        // movs r0, #1; lsls r0, r0, #16; 1: bl 2f; bne 1b; b .; 2: subs r0, #1; bx lr
        // (the bl pair runs as one instruction)
        {"Thumb", {0x04002001, 0xF802F000, 0xE7FED1FC, 0x47703801}, true},
    };
    for (const auto &loop : loops) {
        SCOPED_TRACE(loop.name);
        const std::vector<TinySegment> image = {{link, loop.code, 0, false}};
        auto whole = load_tiny(link | loop.thumb, image);
        ASSERT_EQ(whole->run().reason, StopReason::idle_for_ever);
        EXPECT_EQ(whole->clock().instructions(), loop.thumb ? 2u + 4 * 0x10000 : 1u + 2 * 0x10000);

        auto sliced = load_tiny(link | loop.thumb, image);
        RunLimits limits;
        limits.seconds = 2e-5;
        limits.until_waiting = false;
        RunResult result;
        int slices = 0;
        do {
            const kelto::sim::Cycles start = sliced->clock().now();
            result = sliced->run(limits);
            EXPECT_EQ(sliced->clock().now() - start, sliced->clock().from_seconds(*limits.seconds));
        } while (result.reason == StopReason::time_limit && !sliced->idle_for_ever_at() && ++slices < 10'000);
        EXPECT_TRUE(sliced->idle_for_ever_at()) << describe(result);
        EXPECT_GT(slices, 5);
        // Idle for ever, later slices only let time pass.
        sliced->run(limits);
        EXPECT_EQ(sliced->clock().instructions(), whole->clock().instructions());

        // A debugger's steps count one instruction each, and stops at a
        // breakpoint inside a block do not count what is left of it.
        auto debugged = load_tiny(link | loop.thumb, image);
        for (std::uint64_t steps = 1; steps <= 6; steps++) {
            debugged->step();
            EXPECT_EQ(debugged->clock().instructions(), steps);
        }
        debugged->add_breakpoint(link + 8);
        for (int hit = 0; hit < 3; hit++)
            EXPECT_EQ(debugged->run().reason, StopReason::breakpoint);
        debugged->remove_breakpoint(link + 8);
        debugged->run();
        EXPECT_EQ(debugged->clock().instructions(), whole->clock().instructions());
    }
}

// A byte written to the transmitter while the firmware then only computes
// stops a run waiting for it when it is on the line, not at a later event.
TEST(MachineClock, AnEventScheduledByAWriteIsServedOnTime)
{
    const std::uint32_t link = 0x50080000;
    // UART1: ULCON = 3, UBRDIV = 34, UFCON = 1, UCON = 5, UTXH = 'A'; then a
    // countdown from 2^28 with no register access, and return.
    const std::vector<std::uint32_t> code = {0xE59F0034, 0xE3A01003, 0xE5801000, 0xE3A01022, 0xE5801028, 0xE3A01001,
                                             0xE5801008, 0xE3A01005, 0xE5801004, 0xE3A01041, 0xE5801020, 0xE3A02201,
                                             0xE2522001, 0x1AFFFFFD, 0xE12FFF1E, 0x7F005400};
    auto machine = load_tiny(link, {{link, code, 0, false}});
    RunLimits limits;
    limits.until_output = "A";
    limits.seconds = 1;
    const RunResult result = machine->run(limits);
    EXPECT_EQ(result.reason, StopReason::output_seen) << describe(result);
    ASSERT_EQ(machine->console().output_times().size(), 1u);
    EXPECT_LE(result.time - machine->console().output_times().front(), 2u);
}

// What SIGTERM does to a session: a stop request from the host.
TEST(MachineClock, AStopRequestEndsThumbLoops)
{
    const std::uint32_t link = 0x50080001;
    struct Stopper : kelto::sim::HostLink {
        Pump pump(Machine &, int) override { return Pump::nothing; }
        void service(Machine &machine) override { machine.stop(); }
        void transmitted(Machine &, std::uint8_t) override {}
    } stopper;
    // b .; and 1: b 2f; 2: b 1b, two blocks of one halfword each.
    for (const std::uint32_t code : {0xE7FEu, 0xE7FDE7FFu}) {
        auto machine = load_tiny(link, {{link - 1, {code}, 0, false}}, {{}, kelto::sim::ClockMode::wall_time, false});
        machine->set_host(&stopper);
        EXPECT_EQ(machine->run().reason, StopReason::stopped);
    }
}
