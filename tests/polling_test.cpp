// The button-polling firmware end to end: its object modules linked with
// the UART module and the system calls, driven over the console and the
// board's buttons.
#include <climits>
#include <string>
#include <vector>

#include "harness.hpp"

using namespace kelto::test;
using kelto::sim::Button;

namespace {

constexpr std::uint32_t GPNCON = 0x7F008830, GPNDAT = 0x7F008834, GPNPUD = 0x7F008838;
constexpr std::uint32_t uart1 = 0x7F005400;

const std::string menu = "\r\nMain menu\r\n1> Button Test\r\nx> Exit\r\n";
const std::string splash = "\r\nKelto Firmware - 13:11:24 Feb  9 2011\r\n\r\n";
const std::string prompt = "To exit button test, press any key (in keyboard)\r\n";

std::string echo(std::string_view key)
{
    std::string line;
    for (char c : key)
        line += (c == '\n' ? std::string("\r\n") : std::string(1, c)) + " is selected\r\n";
    return line;
}

// Splits console text into its CR LF terminated lines; a line still being
// sent is left out.
std::vector<std::string> whole_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
        lines.push_back(text.substr(from, end - from));
    return lines;
}

class Polling : public testing::Test {
protected:
    void SetUp() override { m = load("pollfw-64"); }

    // Runs to the first wait in the main menu.
    void start()
    {
        run_until_waiting(*m);
        mark = m->console_output().size();
    }
    // Types bytes and returns what the firmware said until it waits again.
    std::string type(std::string_view keys)
    {
        mark = m->console_output().size();
        m->feed_console(keys);
        run_until_waiting(*m);
        return since_mark();
    }
    std::string since_mark() { return output_since(*m, mark); }

    std::uint32_t stdin_count_address()
    {
        const std::uint32_t reent = m->read_word(m->symbol("_impure_ptr"));
        const std::uint32_t in = m->read_word(reent + 4);  // _stdin
        return in + 4;                                     // _r
    }

    std::unique_ptr<Machine> m;
    std::size_t mark = 0;
};

// ---------------------------------------------------------------------------
// Start-up and main menu

TEST_F(Polling, StartsWithUartSetUpThenSplashAndMenu)
{
    start();
    EXPECT_EQ(m->console_output(), splash + menu);

    // Only the console UART is programmed before anything goes out.
    std::vector<Access> first;
    for (const Access &access : writes(*m))
        if (first.size() < 4)
            first.push_back(access);
    EXPECT_EQ(listing(first), listing({{0, 0, uart1 + 0x00, 0x03, true},
                                       {0, 0, uart1 + 0x04, 0x805, true},
                                       {0, 0, uart1 + 0x08, 0x77, true},
                                       {0, 0, uart1 + 0x28, 34, true}}));
    for (const Access &access : m->accesses())
        EXPECT_EQ(access.address & 0xFFFFFC00, uart1) << "touched " << std::hex << access.address;
}

struct MenuKey {
    const char *name;
    std::string keys;
    std::string answer;
};

void PrintTo(const MenuKey &key, std::ostream *os)
{
    *os << key.name;
}

class PollingMenu : public Polling, public testing::WithParamInterface<MenuKey> {};

TEST_P(PollingMenu, EchoesTheKeyRawAndAnswers)
{
    start();
    EXPECT_EQ(type(GetParam().keys), GetParam().answer);
}

std::string no_item(std::string_view key)
{
    return echo(key) + "No item\r\n" + menu;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, PollingMenu,
    testing::Values(MenuKey{"Two", "2", no_item("2")}, MenuKey{"Three", "3", no_item("3")},
                    MenuKey{"UpperCaseX", "X", no_item("X")}, MenuKey{"CarriageReturn", "\r", no_item("\r")},
                    MenuKey{"LineFeed", "\n", no_item("\n")},
                    MenuKey{"CrLfIsTwoKeys", "\r\n", no_item("\r") + no_item("\n")},
                    MenuKey{"Nul", std::string(1, '\0'), no_item(std::string(1, '\0'))},
                    MenuKey{"ByteFF", "\xFF", no_item("\xFF")}, MenuKey{"Byte80", "\x80", no_item("\x80")},
                    MenuKey{"TypedAheadInOrder", "23X", no_item("2") + no_item("3") + no_item("X")}),
    NamedParam());

TEST_F(Polling, LowerCaseXEndsWithItsEchoAndReturnsZero)
{
    start();
    m->feed_console("x");
    const RunResult result = run_to_end(*m);
    EXPECT_EQ(result.value, 0u);
    EXPECT_EQ(since_mark(), echo("x"));
}

// ---------------------------------------------------------------------------
// Button test

TEST_F(Polling, ButtonTestWithNoButtonHeldPrintsOnlyItsPrompt)
{
    start();
    m->feed_console("1");
    run_for(*m, 0.2);
    EXPECT_EQ(since_mark(), echo("1") + prompt);
    EXPECT_GT(accesses_to(*m, GPNDAT).size(), 1000u) << "the test does not poll the buttons";
}

TEST_F(Polling, KeyEndsTheButtonTestUnechoedAndIsNotPassedOn)
{
    start();
    m->feed_console("1");
    run_for(*m, 0.05);
    EXPECT_EQ(type("q"), menu) << "the key that ends the test reached the output";
    // The next key is read afresh: 'q' did not reach the menu.
    m->feed_console("x");
    EXPECT_EQ(run_to_end(*m).value, 0u);
    EXPECT_EQ(since_mark(), menu + echo("x"));
}

TEST_F(Polling, HeldUpRepeatsItsLineBackToBack)
{
    start();
    m->set_button(Button::up, true);
    m->feed_console("1");
    run_for(*m, 0.1);
    const std::string said = since_mark();
    ASSERT_EQ(said.rfind(echo("1") + prompt, 0), 0u) << said;
    const auto lines = whole_lines(said.substr(echo("1").size() + prompt.size()));
    // A 16-byte line takes 16 frames of 85 us: some 70 of them in 0.1 s.
    EXPECT_GT(lines.size(), 60u);
    for (const std::string &line : lines)
        ASSERT_EQ(line, "Up key pressed");

    // No pause between passes: the line is never idle once text flows.
    const auto &times = m->console().output_times();
    const auto frame = m->console().frame_time();
    for (std::size_t i = times.size() - lines.size() * 16; i < times.size(); i++)
        ASSERT_EQ(times[i] - times[i - 1], frame) << "gap before byte " << i;
}

TEST_F(Polling, UpAndLeftHeldAlternateInScanOrder)
{
    start();
    m->set_button(Button::up, true);
    m->set_button(Button::left, true);
    m->feed_console("1");
    run_for(*m, 0.1);
    const auto lines = whole_lines(since_mark());
    ASSERT_GT(lines.size(), 20u);
    ASSERT_EQ(lines[1], "To exit button test, press any key (in keyboard)");
    for (std::size_t i = 2; i < lines.size(); i++)
        ASSERT_EQ(lines[i], i % 2 == 0 ? "Up key pressed" : "Left key pressed") << "line " << i;
}

TEST_F(Polling, EveryButtonHasItsLine)
{
    start();
    for (Button button : {Button::down, Button::right}) {
        m->set_button(Button::up, false);
        m->set_button(button, true);
        m->feed_console("1");
        run_for(*m, 0.02);
        const auto lines = whole_lines(since_mark());
        ASSERT_GT(lines.size(), 2u);
        EXPECT_EQ(lines[2], button == Button::down ? "Down key pressed" : "Right key pressed");
        type("q");
        m->set_button(button, false);
        mark = m->console_output().size();
    }
}

TEST_F(Polling, KeyDuringHeldButtonFinishesThePassThenShowsTheMenu)
{
    start();
    m->set_button(Button::up, true);
    m->feed_console("1");
    run_for(*m, 0.03);
    m->feed_console("k");
    run_until_waiting(*m);
    const std::string said = since_mark();
    ASSERT_EQ(said.rfind(echo("1") + prompt, 0), 0u);
    ASSERT_GE(said.size(), menu.size());
    EXPECT_EQ(said.substr(said.size() - menu.size()), menu);
    const std::string middle = said.substr(echo("1").size() + prompt.size(),
                                           said.size() - menu.size() - echo("1").size() - prompt.size());
    for (const std::string &line : whole_lines(middle))
        EXPECT_EQ(line, "Up key pressed");
    EXPECT_EQ(middle.size() % 16, 0u) << "a line was cut short: " << middle;
}

TEST_F(Polling, ButtonPinsAreReadButNeverConfigured)
{
    start();
    m->set_button(Button::right, true);
    m->feed_console("1");
    run_for(*m, 0.02);
    type("q");
    for (const Access &access : m->accesses()) {
        if ((access.address & 0xFFFFF000) != (GPNDAT & 0xFFFFF000))
            continue;
        EXPECT_FALSE(access.write) << "wrote " << std::hex << access.address;
        EXPECT_EQ(access.address, GPNDAT);
    }
    EXPECT_TRUE(accesses_to(*m, GPNCON).empty());
    EXPECT_TRUE(accesses_to(*m, GPNPUD).empty());
}

// ---------------------------------------------------------------------------
// The port N reader and the button scanner, called directly

TEST_F(Polling, GpioReaderStoresOneBitOfTheDataRegister)
{
    // UP and LEFT held: bits 0 and 2 clear, the other pins high.
    m->set_button(Button::up, true);
    m->set_button(Button::left, true);
    const std::uint32_t val = m->scratch(4);
    for (std::uint32_t pin = 0; pin < 8; pin++) {
        m->clear_accesses();
        m->write_word(val, 0xDEADBEEF);
        EXPECT_EQ(call(*m, "kelto_gpio_get_val", {pin, val}), 0u);
        // One read of the data register itself, nothing else.
        const auto &accesses = m->accesses();
        ASSERT_EQ(accesses.size(), 1u) << "pin " << pin;
        EXPECT_EQ(accesses[0].address, GPNDAT);
        EXPECT_FALSE(accesses[0].write);
        EXPECT_EQ(m->read_word(val), (accesses[0].value >> pin) & 1) << "pin " << pin;
        EXPECT_EQ(m->read_word(val), pin == 0 || pin == 2 ? 0u : 1u) << "pin " << pin;
    }

    // Pins above 3 are not buttons; the register is read afresh each time.
    m->set_button(Button::left, false);
    EXPECT_EQ(call(*m, "kelto_gpio_get_val", {2, val}), 0u);
    EXPECT_EQ(m->read_word(val), 1u) << "the register is not read afresh";
}

TEST_F(Polling, ScansReportPressedForTheClearBitsOfThePort)
{
    m->set_button(Button::up, true);
    m->set_button(Button::left, true);
    const std::uint32_t expected[] = {1, 0, 1, 0};  // DOWN for UP and LEFT
    for (std::uint32_t code = 0; code < 4; code++) {
        m->clear_accesses();
        EXPECT_EQ(call(*m, "kelto_btn_scan", {code}), expected[code]) << "key code " << code;
        const auto reads = accesses_to(*m, GPNDAT);
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].value & 0xFF, 0xFAu) << "the port does not read as ...FA";
        EXPECT_EQ(m->accesses().size(), 1u);
    }
}

// ---------------------------------------------------------------------------
// Console input over many reads

TEST_F(Polling, EveryKeyReadLeavesStandardInputsCountWhereItStarted)
{
    start();
    const std::uint32_t count = stdin_count_address();
    // Waiting in a read: the inline read has taken the count from 0 to -1.
    EXPECT_EQ(m->read_word(count), static_cast<std::uint32_t>(-1));
    for (const char *key : {"2", "3", "X", "\r"}) {
        type(key);
        EXPECT_EQ(m->read_word(count), static_cast<std::uint32_t>(-1)) << "after key " << key;
    }
}

TEST_F(Polling, KeysStillComeFromTheUartAfter2To31Reads)
{
    start();
    // The count as it would stand after 2^31 reads if nothing put it back;
    // two more decrements would wrap it positive and send the inline read
    // into standard input's empty buffer.
    m->write_word(stdin_count_address(), static_cast<std::uint32_t>(INT_MIN + 1));
    for (const char *key : {"2", "3", "X", "\r"})
        EXPECT_EQ(type(key), no_item(key)) << "key " << key;
}

// ---------------------------------------------------------------------------
// Write protection of the image's code and read-only data

TEST_F(Polling, KeyReadBeforeAnyOutputIsCaughtAtTheStdinPlaceholder)
{
    // Before the first output, standard input is newlib's placeholder in
    // .rodata. A key read then stores into it (the inline read's count, and
    // __srget_r putting the count back), which must stop the run.
    ASSERT_EQ(call(*m, "kelto_uart_init", {1, 115200}), 0u);
    const std::uint32_t reent = m->read_word(m->symbol("_impure_ptr"));
    const std::uint32_t in = m->read_word(reent + 4);
    const std::uint32_t placeholder = m->symbol("__sf_fake_stdin");
    ASSERT_EQ(in, placeholder);

    m->feed_console("k");
    const RunResult result = call_expecting_fault(*m, "__srget_r", {reent, in});
    ASSERT_TRUE(m->fault());
    const auto &fault = *m->fault();
    EXPECT_GE(fault.address, placeholder);
    EXPECT_LT(fault.address, placeholder + 0x20);
    const auto srget = m->image().find("__srget_r");
    ASSERT_TRUE(srget);
    EXPECT_GE(fault.pc, srget->address);
    EXPECT_LT(fault.pc, srget->address + srget->size);
    EXPECT_NE(result.message.find("__sf_fake_stdin"), std::string::npos) << result.message;
    EXPECT_NE(result.message.find("__srget_r"), std::string::npos) << result.message;
    const std::vector<std::uint8_t> before = m->image().segments().front().bytes;
    const auto offset = placeholder - m->image().segments().front().address;
    EXPECT_EQ(m->read_bytes(placeholder, 0x20),
              std::vector<std::uint8_t>(before.begin() + offset, before.begin() + offset + 0x20))
        << "the placeholder was changed";
}

}  // namespace
