// The front end's own logic: the command line, the escape keys and the
// scenario files without a board; the scenario runner on one, in this process.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frontends/cli.hpp"
#include "frontends/gdb/packets.hpp"
#include "frontends/gdb/stub.hpp"
#include "frontends/keys.hpp"
#include "frontends/scenario.hpp"
#include "frontends/junit.hpp"
#include "frontends/scenario_runner.hpp"
#include "frontends/session.hpp"
#include "frontends/web/access.hpp"
#include "frontends/web/inbox.hpp"
#include "frontends/web/messages.hpp"
#include "frontends/web/register_panel.hpp"
#include "harness.hpp"
#include "machine/board_state.hpp"

namespace kelto::sim::frontend {
namespace {

Options parse(const std::vector<std::string_view> &args)
{
    return parse_options(args);
}

std::string usage_error(const std::vector<std::string_view> &args)
{
    try {
        parse_options(args);
    } catch (const UsageError &error) {
        return error.what();
    }
    return "accepted";
}

TEST(CommandLine, TakesValuesInBothSpellings)
{
    const Options options = parse({"--board=24", "--serial", "pty", "--clock=virtual", "--expect", "x> Exit",
                                   "--fail-on", "No item", "--fail-on=fault", "--timeout", "2.5", "--no-status",
                                   "--trace=uart,GPNCON", "--trace-file", "t.txt", "--stats", "--vcd=w.vcd", "image"});
    EXPECT_EQ(options.image, "image");
    EXPECT_EQ(options.board, 24);
    EXPECT_EQ(options.serial, SerialMode::pty);
    EXPECT_EQ(options.clock, ClockMode::virtual_time);
    EXPECT_EQ(options.expect, "x> Exit");
    EXPECT_EQ(options.fail_on, (std::vector<std::string>{"No item", "fault"}));
    EXPECT_EQ(options.timeout, 2.5);
    EXPECT_FALSE(options.status);
    EXPECT_TRUE(options.trace);
    EXPECT_EQ(options.trace_filter, "uart,GPNCON");
    EXPECT_EQ(options.trace_file, "t.txt");
    EXPECT_TRUE(options.stats);
    EXPECT_EQ(options.vcd, "w.vcd");
    EXPECT_EQ(parse({"--trace", "image"}).trace_filter, "");
    // A value that looks like an option is still the value.
    EXPECT_EQ(parse({"--expect", "--board", "image"}).expect, "--board");
}

TEST(CommandLine, RejectsWhatItCannotRun)
{
    EXPECT_EQ(usage_error({}), "no image given");
    EXPECT_EQ(usage_error({"a", "b"}), "one image at a time (got 'a' and 'b')");
    EXPECT_EQ(usage_error({"--bogus", "image"}), "unknown option '--bogus'");
    EXPECT_EQ(usage_error({"image", "--board"}), "option --board needs a value");
    EXPECT_EQ(usage_error({"--board", "32", "image"}), "--board wants 64 or 24, not '32'");
    EXPECT_EQ(usage_error({"--serial", "tcp", "image"}), "--serial wants stdio or pty, not 'tcp'");
    EXPECT_EQ(usage_error({"--clock", "fast", "image"}), "--clock wants wall or virtual, not 'fast'");
    for (std::string_view timeout : {"0", "-1", "abc", "2s", "inf", "nan", "1e11", "1e308", "1000000.5", " 1", ""})
        EXPECT_EQ(usage_error({"--timeout", timeout, "image"}),
                  "--timeout wants a number of seconds above 0, at most 1000000 (about 11.6 days), not '" +
                      std::string(timeout) + "'");
    EXPECT_EQ(parse({"--timeout", "1e6", "image"}).timeout, 1e6);
    EXPECT_NE(usage_error({"--scenario", "s.yaml", "--serial", "pty", "image"}), "accepted");
    EXPECT_EQ(usage_error({"--trace-file", "t.txt", "image"}), "--trace-file goes with --trace");
    for (std::string_view size : {"0", "-1", "1.5M", "1T", "1KB", "M", "", "17179869184G"})
        EXPECT_EQ(usage_error({"--trace", "--trace-limit", size, "image"}),
                  "--trace-limit wants a number of bytes above 0, plain or with K, M or G, not '" + std::string(size) +
                      "'");
    for (auto [size, bytes] : {std::pair{"100m", 100u << 20}, {"1G", 1u << 30}, {"4096", 4096u}})
        EXPECT_EQ(parse({"--trace", "--trace-limit", size, "image"}).trace_limit, bytes) << size;
    for (std::string_view gdb : {"", "host", "host:", ":1234", "70000", "1234x", "[::1]"})
        EXPECT_EQ(usage_error({"--gdb", gdb, "image"}), "--gdb wants [HOST:]PORT, not '" + std::string(gdb) + "'");
    EXPECT_NE(usage_error({"-S", "image"}), "accepted") << "-S without a GDB server";
    const Options gdb = parse({"--gdb", "[::1]:2331", "-S", "image"});
    EXPECT_EQ(gdb.gdb->host, "::1");
    EXPECT_EQ(gdb.gdb->port, 2331);
    EXPECT_TRUE(gdb.gdb_start_halted);
    EXPECT_EQ(parse({"-s", "image"}).gdb->port, 1234);
    for (std::string_view key : {"", "1", "ab", "^", "\xe9"})
        EXPECT_EQ(usage_error({"--escape", key, "image"}),
                  "--escape wants a letter, as in '--escape b' for Ctrl-B, not '" + std::string(key) + "'");
    EXPECT_EQ(parse({"--escape=B", "image"}).escape, 0x02);
    EXPECT_EQ(parse({"--escape", "z", "image"}).escape, 0x1A);
    EXPECT_EQ(parse({"image"}).escape, 0x01);
    EXPECT_EQ(usage_error({"--svd", "64", "image"}), "--svd describes a chip and runs no image");
    EXPECT_EQ(usage_error({"--svd", "32"}), "--svd wants 64 or 24, not '32'");
    EXPECT_EQ(parse({"--svd=24"}).svd, 24);
    // Help and the version need no image.
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_TRUE(parse({"--version"}).version);
}

// The manual page keeps up with the options the help text lists.
TEST(CommandLine, ManualPageHasEveryOption)
{
    std::ifstream file(KELTO_MAN_PAGE);
    std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    page = std::regex_replace(page, std::regex(R"(\\-)"), "-");  // roff's hyphen
    const std::string help = help_text;
    const std::regex option(R"(\s(--?[a-zA-Z][-a-z]*))");
    int options = 0;
    for (auto match = std::sregex_iterator(help.begin(), help.end(), option); match != std::sregex_iterator(); ++match) {
        EXPECT_NE(page.find((*match)[1].str()), std::string::npos) << (*match)[1].str();
        options++;
    }
    EXPECT_GT(options, 20);
}

TEST(CommandLine, RefusesAnOptionGivenTwiceInsteadOfReplacingIt)
{
    const struct {
        std::vector<std::string_view> args;
        const char *option;
    } twice[] = {
        {{"--board", "64", "--board=24"}, "--board"},       {{"--serial", "stdio", "--serial=pty"}, "--serial"},
        {{"--clock=wall", "--clock", "wall"}, "--clock"},   {{"--expect", "a", "--expect", "b"}, "--expect"},
        {{"--timeout", "1", "--timeout", "2"}, "--timeout"}, {{"--serial-log", "a", "--serial-log=b"}, "--serial-log"},
        {{"--web", "--web=8100"}, "--web"},                 {{"-s", "--gdb", "2331"}, "--gdb (or -s)"},
        {{"--trace", "--trace=uart"}, "--trace"},           {{"--trace-file=a", "--trace-file", "b"}, "--trace-file"},
        {{"--trace-limit=1", "--trace-limit=2"}, "--trace-limit"}, {{"--vcd", "a", "--vcd", "b"}, "--vcd"},
        {{"--stats", "--stats"}, "--stats"},                {{"--no-status", "--no-status"}, "--no-status"},
        {{"-S", "-S"}, "-S"},                               {{"-j", "1", "-j2"}, "-j"},
        {{"--shard", "1/2", "--shard=2/2"}, "--shard"},     {{"--junit", "a", "--junit", "b"}, "--junit"},
        {{"--escape", "b", "--escape=c"}, "--escape"},      {{"--svd", "64", "--svd", "24"}, "--svd"},
        {{"--restore", "a", "--restore=b"}, "--restore"},   {{"--save-at", "1", "a", "--save-at", "2", "b"}, "--save-at"},
        {{"--coverage=a", "--coverage=b"}, "--coverage"},   {{"--profile", "a", "--profile", "b"}, "--profile"},
        {{"--boot-once", "--boot-once"}, "--boot-once"},
    };
    for (const auto &c : twice) {
        std::vector<std::string_view> args = c.args;
        args.push_back("image");
        EXPECT_EQ(usage_error(args), std::string(c.option) + " may be given once");
    }
    const Options suite = parse({"--fail-on", "a", "--fail-on=b", "--scenario", "a.yaml", "--scenario=b", "-j3",
                                 "--shard", "2/3", "image"});
    EXPECT_EQ(suite.scenarios, (std::vector<std::string>{"a.yaml", "b"}));
    EXPECT_EQ(suite.fail_on.size(), 2u);
    EXPECT_EQ(suite.jobs, 3u);
    EXPECT_EQ(suite.shard->index, 2u);
    EXPECT_EQ(suite.shard->count, 3u);
    for (std::string_view shard : {"0/2", "3/2", "1/0", "1", "/2", "1/2x"})
        EXPECT_TRUE(usage_error({"--scenario", "s", "--shard", shard, "image"}).starts_with("--shard wants I/N"));
    EXPECT_TRUE(usage_error({"--scenario", "s", "-j0", "image"}).starts_with("-j wants a number"));
    EXPECT_EQ(usage_error({"-j", "2", "image"}), "-j, --shard and --junit go with --scenario");
    EXPECT_EQ(usage_error({"--boot-once", "image"}), "--boot-once goes with --scenario");
}

TEST(Suite, ShardsRunEachScenarioExactlyOnce)
{
    for (std::size_t size = 0; size < 8; size++) {
        for (unsigned count = 1; count <= 4; count++) {
            std::vector<int> runs(size);
            for (unsigned index = 1; index <= count; index++)
                for (std::size_t i : shard_indices(size, Options::Shard{index, count}))
                    runs.at(i)++;
            EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), static_cast<long>(size)) << size << " in " << count;
        }
    }
}

// Bundles are named after their scenario files, numbered when taken.
TEST(Suite, BundleNamesAreUniqueInSuiteOrder)
{
    std::vector<Scenario> suite{
        {"a/smoke.yaml", {}, {}}, {"b/smoke.yaml", {}, {}}, {"smoke-2.yaml", {}, {}}, {"c/smoke.yml", {}, {}}};
    name_bundles(suite);
    for (const auto &[n, want] : {std::pair{0, "smoke"}, {1, "smoke-2"}, {2, "smoke-2-2"}, {3, "smoke-3"}})
        EXPECT_EQ(suite[n].bundle_name, want);
}

TEST(Suite, JUnitTextCarriesEveryByteAsXmlMayHoldIt)
{
    const std::pair<std::string, std::string> cases[] = {
        {"a<b&c>\"'", "a&lt;b&amp;c&gt;&quot;&apos;"},
        {"\t\r\n", "&#9;&#13;&#10;"},
        {std::string("\0\x01\x1b[0m\x7f", 7), "\\x00\\x01\\x1b[0m\x7f"},
        {"\xe9\xff\x80", "\u00e9\u00ff\u0080"},
    };
    for (const auto &[bytes, xml] : cases)
        EXPECT_EQ(xml_text(bytes), xml);
}

TEST(CommandLine, SaveAtTakesATimeOrElseText)
{
    const struct {
        std::vector<std::string_view> args;
        std::optional<double> seconds;
        std::optional<std::string> text;
    } cases[] = {
        {{"--save-at", "2.5", "f"}, 2.5, {}},         {{"--save-at=2.5s", "f"}, 2.5, {}},
        {{"--save-at", "300ms", "f"}, 0.3, {}},       {{"--save-at", "x> Exit", "f"}, {}, "x> Exit"},
        {{"--save-at", "2.5 s", "f"}, {}, "2.5 s"},   {{"--save-at", "1e7", "f"}, {}, "1e7"},
    };
    for (const auto &c : cases) {
        std::vector<std::string_view> args = c.args;
        args.push_back("image");
        const Options options = parse(args);
        EXPECT_EQ(options.save_at->seconds, c.seconds) << c.args[1];
        EXPECT_EQ(options.save_at->text, c.text) << c.args[1];
        EXPECT_EQ(options.save_at->file, "f");
    }
    EXPECT_EQ(usage_error({"image", "--save-at", "1s"}), "--save-at wants SECONDS or TEXT, then a FILE");
    EXPECT_EQ(parse({"--restore", "s", "image"}).restore, "s");
}

TEST(CommandLine, ClockFollowsWhoIsOnTheLine)
{
    const Options piped = parse({"image"});
    EXPECT_EQ(default_clock(piped, false), ClockMode::virtual_time);
    EXPECT_EQ(default_clock(piped, true), ClockMode::wall_time);
    EXPECT_EQ(default_clock(parse({"--serial", "pty", "image"}), false), ClockMode::wall_time);
    EXPECT_EQ(default_clock(parse({"--scenario", "s.yaml", "image"}), true), ClockMode::virtual_time);
    EXPECT_EQ(default_clock(parse({"--clock", "wall", "--scenario", "s.yaml", "image"}), false), ClockMode::wall_time);
    EXPECT_EQ(default_clock(parse({"--clock", "virtual", "image"}), true), ClockMode::virtual_time);
    // A recording at a terminal keeps the terminal's real time, paced.
    const Options bundled = parse({"--bundle", "failures", "image"});
    EXPECT_EQ(default_clock(bundled, true), ClockMode::wall_time);
    EXPECT_TRUE(paced_for_recording(bundled, ClockMode::wall_time));
    EXPECT_FALSE(paced_for_recording(bundled, ClockMode::virtual_time));
    EXPECT_FALSE(paced_for_recording(parse({"image"}), ClockMode::wall_time));
}

TEST(CommandLine, WebViewListensOnLoopbackUnlessTold)
{
    const struct {
        std::string_view arg;
        std::string host;  // empty: refused
        unsigned short port;
    } cases[] = {
        {"--web", "127.0.0.1", 8064},         {"--web=9000", "127.0.0.1", 9000},
        {"--web=0.0.0.0:80", "0.0.0.0", 80},  {"--web=localhost", "localhost", 8064},
        {"--web=[::1]:8100", "::1", 8100},    {"--web=host:70000", "", 0},
        {"--web=:80", "", 0},                 {"--web=host:", "", 0},
        {"--web=[::1", "", 0},                {"--web=", "", 0},
    };
    for (const auto &c : cases) {
        if (c.host.empty()) {
            EXPECT_TRUE(usage_error({c.arg, "image"}).starts_with("--web ")) << c.arg;
            continue;
        }
        const Options options = parse({c.arg, "image"});
        ASSERT_TRUE(options.web) << c.arg;
        EXPECT_EQ(options.web->host, c.host) << c.arg;
        EXPECT_EQ(options.web->port, c.port) << c.arg;
        EXPECT_EQ(default_clock(options, false), ClockMode::wall_time);
    }
}

// The words of the monitor and the web page, parsed once, and the page's
// typing.
TEST(BoardCommands, ParseTheirWordsAndNothingElse)
{
    using Kind = BoardCommand::Kind;
    const std::pair<std::string_view, std::optional<BoardCommand>> cases[] = {
        {"press up", BoardCommand{Kind::press, Button::up}},
        {"release right", BoardCommand{Kind::release, Button::right}},
        {"press left", BoardCommand{Kind::press, Button::left}},
        {"release all", BoardCommand{Kind::release_all}}, {"reset", BoardCommand{Kind::reset}},
        {"run", BoardCommand{Kind::run}},     {"resume", BoardCommand{Kind::run}},
        {"pause", BoardCommand{Kind::pause}}, {"board", BoardCommand{Kind::board}},
        {"time", BoardCommand{Kind::time}},   {"press all", std::nullopt},
        {"press", std::nullopt},              {"press middle", std::nullopt},
        {"press up ", std::nullopt},          {"press  up", std::nullopt},
        {" pause", std::nullopt},             {"Pause", std::nullopt},
        {"{\"t\":\"pause\"}", std::nullopt},  {"", std::nullopt},
    };
    for (const auto &[text, expected] : cases) {
        EXPECT_EQ(parse_board_command(text), expected) << text;
        const auto request = web::parse_request(text);
        EXPECT_EQ(request.has_value(), expected.has_value()) << text;
        if (request) {
            EXPECT_EQ(request->command, *expected) << text;
            // Input to the board, which the recorded past asks about first.
            EXPECT_EQ(moves_buttons(*expected), text.starts_with("press") || text.starts_with("release")) << text;
        }
    }
    for (auto [message, typed] : {std::pair{"type 1", "1"}, {"type  x\r", " x\r"}})
        EXPECT_EQ(web::parse_request(message)->bytes, typed) << message;
    EXPECT_FALSE(web::parse_request("type "));
    // Console bytes of any value reach the page as they were sent.
    EXPECT_EQ(json_string(std::string("a\"\\\r\n\x1b\x7f\xe9\0", 9)), R"("a\"\\\u000d\u000a\u001b\u007f\u00e9\u0000")");
}

// The report and the page's state are two renderings of one view.
TEST(BoardView, ReportAndStateShowTheSameBoard)
{
    const BoardView view{"board 64", "chip", "consolefw-64", ClockMode::virtual_time, 1.5, true,
                         {Button::up, Button::left}, 40,
                         {{Pin{13, 0}, 0, 0, true, "button up"}, {Pin{0, 2}, 5, 1, false, ""}, {Pin{5, 15}, 15, 2, {}, ""}}};
    EXPECT_EQ(report_text(view), "board 64 (chip), consolefw-64, 1.500000 s of board time on the virtual clock\n"
                                 "buttons held: up, left\nbacklight: 40 %\n"
                                 "pins wired on the board, and any others not plain inputs:\n"
                                 "  GPN0 input high (button up)\n  GPA2-5 output low\n  GPF15 alt1\n");
    EXPECT_EQ(status_text(view), "board 64 | buttons held: up left | backlight: 40 %");
    BoardView paced = view;
    paced.paced = true;
    EXPECT_EQ(time_text(paced), "board time 1.500000 s on the virtual clock paced to the host\n");
    const std::string state = view_json(view);
    for (const char *part :
         {R"("board":"board 64","chip":"chip","clock":"virtual","paced":false,"time":1.500000,"paused":true)",
          R"("buttons":{"up":true,"down":false,"left":true,"right":false},"backlight":40)",
          R"j({"name":"GPN0","function":"input","level":"high","label":"button up","text":"GPN0 input high (button up)"})j",
          R"({"name":"GPF15","function":"alt1","level":null,"label":"","text":"GPF15 alt1"}]})"})
        EXPECT_NE(state.find(part), std::string::npos) << part << " in " << state;
    EXPECT_NE(view_json(paced).find(R"("clock":"virtual","paced":true,)"), std::string::npos);
}

// A rebinding page names itself in both Host and Origin: only this
// machine's names, the one given to --web and the address reached count.
TEST(WebView, AnswersOnlyThisMachinesNamesAndItsOwnPage)
{
    const web::ServerNames server{"kelto-box.lan", 8064, "fd00::5"};
    for (std::string_view host : {"127.0.0.1:8064", "localhost", "LocalHost:8064", "127.3.4.5:8064", "[::1]",
                                  "kelto-box.lan:8064", "[fd00::5]:8064"})
        EXPECT_TRUE(web::admitted(host, "", false, server)) << host;
    for (std::string_view host : {"evil.example:8064", "evil.example", "localhost:8065", "localhost:",
                                  "localhost.evil.example", "128.0.0.1:8064", "126.255.255.255", "[::2]:8064",
                                  "[::1:8064", "", "[fd00::6]:8064"})
        EXPECT_FALSE(web::admitted(host, "", false, server)) << host;
    // A websocket also names its page's origin.
    for (auto [host, origin, expected] : {std::tuple{"localhost:8064", "http://localhost:8064", true},
                                          {"[::1]:8064", "http://[::1]:8064", true},
                                          {"evil.example:8064", "http://evil.example:8064", false},
                                          {"localhost:8064", "http://evil.example:8064", false},
                                          {"localhost:8064", "", false}})
        EXPECT_EQ(web::admitted(host, origin, true, server), expected) << host << " " << origin;
}

TEST(WebView, ServesItsPageAndNothingOutsideIt)
{
    for (auto [target, file] : {std::pair{"/", "/page/index.html"}, {"/?tab=2", "/page/index.html"},
                                {"/page/board.js", "/page/board.js"}, {"/xterm/xterm.js", "/xterm.js"}})
        EXPECT_TRUE(web::file_for(target).value_or("").ends_with(file)) << target;
    for (const char *target : {"/../../etc/passwd", "/page/../../../../etc/passwd.html", "/xterm/../page/board.js",
                               "/page/%2e%2e/%2e%2e/etc/passwd.js", "/page/..%2f..%2fetc%2fpasswd.js",
                               "/page/.%2e/x.js", "/page//etc/x.js", "/page/board.exe", "/etc/passwd.js", "/page/"})
        EXPECT_EQ(web::file_for(target), std::nullopt) << target;
}

TEST(WebView, TypingWaitsWithinItsBoundAndRequestsHoldTheReader)
{
    using web::Inbox;
    int wakes = 0;
    Inbox inbox([&] { wakes++; });
    for (char key : {'a', 'b', 'c', 'd'})
        EXPECT_EQ(inbox.put({web::Request::Kind::type, std::string(Inbox::typing_limit / 4, key), {}}),
                  Inbox::Admission::taken);
    for (int i = 0; i < 1000; i++)
        EXPECT_EQ(inbox.put({web::Request::Kind::type, "e", {}}), Inbox::Admission::refused);
    EXPECT_TRUE(inbox.take(false).typed.empty());
    std::string typed;
    for (int i = 0; i < 100 && typed.size() < Inbox::typing_limit; i++)
        typed += inbox.take(true).typed;
    const std::size_t quarter = Inbox::typing_limit / 4;
    EXPECT_EQ(typed, std::string(quarter, 'a') + std::string(quarter, 'b') + std::string(quarter, 'c') +
                         std::string(quarter, 'd'));

    for (std::size_t i = 1; i <= Inbox::request_limit; i++)
        EXPECT_EQ(inbox.put({web::Request::Kind::command, {},
                             BoardCommand{BoardCommand::Kind::press, i == 1 ? Button::down : Button::left}}),
                  i < Inbox::request_limit ? Inbox::Admission::taken : Inbox::Admission::full);
    const auto delivery = inbox.take(false);
    ASSERT_EQ(delivery.requests.size(), Inbox::request_limit);
    EXPECT_EQ(delivery.requests.front().command.button, Button::down);
    EXPECT_TRUE(delivery.room_again);
    EXPECT_FALSE(inbox.take(false).room_again);
    EXPECT_EQ(wakes, 2);  // the first key, the first press
}

// The panel of every peripheral's registers in words, which lights up what
// the firmware wrote since the last panel, and only while a page looks.
TEST(WebView, RegisterPanelMarksWhatTheFirmwareWroteSinceTheLastOne)
{
    auto machine = Machine::load(test::image_path("consolefw-64"));
    web::RegisterPanel panel;
    panel.attach(*machine);
    test::run_until_waiting(*machine);
    const std::optional<std::string> unwatched = panel.update();
    ASSERT_TRUE(unwatched);
    EXPECT_EQ(unwatched->find("\"written\":true"), std::string::npos);
    EXPECT_EQ(panel.update(), std::nullopt);  // nothing new

    panel.watch(true);
    machine->feed_console("3");
    test::run_until_waiting(*machine);
    std::istringstream json(panel.update().value_or("{}"));
    boost::property_tree::ptree message;
    boost::property_tree::read_json(json, message);
    EXPECT_EQ(message.get_child("peripherals").size(), machine->devices().size());
    std::map<std::string, std::string> uart1;  // register: "value words written"
    for (const auto &[_, peripheral] : message.get_child("peripherals"))
        if (peripheral.get<std::string>("name") == "UART1")
            for (const auto &[__, reg] : peripheral.get_child("registers"))
                uart1[reg.get<std::string>("name")] = reg.get<std::string>("value") + " " +
                                                      reg.get<std::string>("words") + " " + reg.get<std::string>("written");
    EXPECT_EQ(uart1["UTRSTAT"], "0x00000006 tx empty, tx buffer empty, rx empty false");
    EXPECT_EQ(uart1["ULCON"], "0x00000003 one stop bit, WORD_LENGTH=3 false");
    EXPECT_TRUE(uart1["UTXH"].ends_with(" true")) << uart1["UTXH"];
    EXPECT_EQ(panel.update().value_or("").find("\"written\":true"), std::string::npos);
    EXPECT_EQ(panel.update(), std::nullopt);
}

TEST(EscapeKeys, PassEverythingButTheirOwnCommands)
{
    EscapeDecoder keys;
    using Kind = KeyCommand::Kind;
    auto next = [&](std::uint8_t byte) { return keys.take(byte); };

    for (std::uint8_t byte : {0x31, 0x78, 0x0D, 0x03, 0xFF}) {
        const auto command = next(byte);
        ASSERT_TRUE(command);
        EXPECT_EQ(command->kind, Kind::send);
        EXPECT_EQ(command->byte, byte);
    }
    EXPECT_FALSE(next(keys.escape()));
    EXPECT_TRUE(keys.pending());
    const auto literal = next(keys.escape());
    ASSERT_TRUE(literal);
    EXPECT_EQ(literal->kind, Kind::send);
    EXPECT_EQ(literal->byte, keys.escape());
    EXPECT_FALSE(keys.pending());
    // Another escape key (--escape b) leaves Ctrl-A to the board.
    EscapeDecoder ctrl_b(0x02);
    EXPECT_EQ(ctrl_b.take(0x01)->byte, 0x01);
    EXPECT_FALSE(ctrl_b.take(0x02));
    EXPECT_EQ(ctrl_b.take('x')->kind, Kind::quit);
    EXPECT_FALSE(ctrl_b.take(0x02));
    EXPECT_EQ(ctrl_b.take(0x02)->byte, 0x02);

    using To = BoardCommand::Kind;
    const struct {
        std::uint8_t key;
        Kind kind;
        BoardCommand command;
    } commands[] = {
        {'u', Kind::board, {To::toggle, Button::up}},     {'U', Kind::board, {To::toggle, Button::up}},
        {'1', Kind::board, {To::toggle, Button::up}},     {'d', Kind::board, {To::toggle, Button::down}},
        {'D', Kind::board, {To::toggle, Button::down}},   {'2', Kind::board, {To::toggle, Button::down}},
        {'l', Kind::board, {To::toggle, Button::left}},   {'L', Kind::board, {To::toggle, Button::left}},
        {'3', Kind::board, {To::toggle, Button::left}},   {'r', Kind::board, {To::toggle, Button::right}},
        {'R', Kind::board, {To::toggle, Button::right}},  {'4', Kind::board, {To::toggle, Button::right}},
        {'0', Kind::board, {To::release_all}},            {'s', Kind::board, {To::board}},
        {'S', Kind::board, {To::board}},                  {'x', Kind::quit, {}},
        {'X', Kind::quit, {}},                               {'q', Kind::quit, {}},
        {'Q', Kind::quit, {}},                               {'?', Kind::help, {}},
        {'h', Kind::help, {}},                               {'H', Kind::help, {}},
        {'z', Kind::unknown, {}},
    };
    for (const auto &c : commands) {
        next(keys.escape());
        const auto command = next(c.key);
        ASSERT_TRUE(command) << c.key;
        EXPECT_EQ(command->kind, c.kind) << c.key;
        if (c.kind == Kind::board) {
            EXPECT_EQ(command->command, c.command) << c.key;
        }
        // The command is one key: the next one goes to the board again.
        EXPECT_EQ(next('a')->kind, Kind::send);
    }
}

TEST(ScenarioFile, ReadsEveryStepWithItsLine)
{
    const Scenario scenario = parse_scenario(R"(# pressing up in the button test
- write: "1\r"
- wait_for: "press any key"
  timeout: 2
- hold: [up, LEFT]
- wait: 0.25
- release: left
- expect_backlight: 90
- expect_pin: {port: n, pin: 9, level: 1, function: output}
- expect_pin: {port: F, pin: 15, function: alt1}
- expect_exit: 0
)",
                                             "up.yaml");
    using Action = Step::Action;
    ASSERT_EQ(scenario.steps.size(), 9u);
    const auto &steps = scenario.steps;
    EXPECT_EQ(steps[0].action, Action::write);
    EXPECT_EQ(steps[0].text, "1\r");
    EXPECT_EQ(steps[0].line, 2);
    EXPECT_EQ(steps[1].action, Action::wait_for);
    EXPECT_EQ(steps[1].seconds, 2);
    EXPECT_EQ(steps[1].line, 3);
    EXPECT_EQ(steps[2].buttons, (std::vector<Button>{Button::up, Button::left}));
    EXPECT_EQ(steps[3].seconds, 0.25);
    EXPECT_EQ(steps[4].action, Action::release);
    EXPECT_EQ(steps[5].percent, 90);
    EXPECT_EQ(steps[6].pin.port, 'N' - 'A');
    EXPECT_EQ(steps[6].pin.number, 9);
    EXPECT_EQ(steps[6].level, true);
    EXPECT_EQ(steps[6].function, 1u);
    EXPECT_EQ(steps[7].function, 2u);
    EXPECT_FALSE(steps[7].level);
    EXPECT_EQ(steps[8].action, Action::expect_exit);
    EXPECT_EQ(steps[8].seconds, Step::default_timeout);
    EXPECT_EQ(where(scenario, steps[1]), "up.yaml:3");
    EXPECT_EQ(describe(steps[0]), "write \"1\\r\"");
    EXPECT_EQ(describe(steps[6]), "expect_pin GPN9 output high");
    EXPECT_EQ(describe(parse_scenario("- wait_for: " + std::string(81, 'a'), "s.yaml").steps[0]),
              "wait_for \"" + std::string(80, 'a') + "\"... (81 bytes)");
}

TEST(ScenarioFile, WritesEachCharacterAsOneByte)
{
    const Scenario scenario = parse_scenario("- write: \"\\xff\\x80\u00e9\\0\"\n", "s.yaml");
    EXPECT_EQ(scenario.steps[0].text, std::string("\xff\x80\xe9\0", 4));
}

TEST(ScenarioFile, RefusesPinsTheBoardLacks)
{
    const struct {
        const BoardSpec &board;
        const char *pin;
        const char *error;  // empty: the board has the pin
    } cases[] = {
        {board_24(), "{port: N, pin: 0, level: 1}", "s.yaml:2: expect_pin GPN0 high: the board 24's S3C2450 has no port N "
                                          "(ports A-H, J, L, M)"},
        {board_24(), "{port: I, pin: 0, level: 1}", "s.yaml:2: expect_pin GPI0 high: the board 24's S3C2450 has no port I"},
        {board_24(), "{port: F, pin: 31, level: 1}", "s.yaml:2: expect_pin GPF31 high: the board 24's S3C2450's port F has "
                                           "pins 0 to 15, not 31"},
        {board_64(), "{port: A, pin: 8, level: 1}", "s.yaml:2: expect_pin GPA8 high: the board 64's S3C6410's port A has "
                                          "pins 0 to 7, not 8"},
        {board_24(), "{port: F, pin: 3, level: 1}", ""},
        {board_64(), "{port: Q, pin: 15, level: 1}", ""},
    };
    for (const auto &c : cases) {
        const Scenario scenario =
            parse_scenario(std::string("- wait: 0\n- expect_pin: ") + c.pin + "\n", "s.yaml");
        try {
            check_against_board(scenario, c.board);
            EXPECT_STREQ(c.error, "") << c.pin;
        } catch (const ScenarioError &error) {
            EXPECT_TRUE(std::string(error.what()).starts_with(c.error)) << error.what();
            EXPECT_STRNE(c.error, "") << error.what();
        }
    }
}

TEST(ScenarioRunner, PassesOnlyWhatTheBoardDid)
{
    const struct {
        const char *image;
        std::string steps;
        int status;
    } cases[] = {
        {"consolefw-64", "- write: \"1\"\n- wait_for: \"1 is selected\"\n", 0},
        {"pollfw-64", "- write: \"x\"\n- wait: 1\n", exit_expectation},
        {"pollfw-64", "- write: \"x\"\n- wait: 1\n- expect_exit: 0\n", 0},
        {"consolefw-64", "- write: \"2" + std::string(80, 'z') + "\"\n- wait_for: \"Test 9\"\n  timeout: 11\n", 0},
    };
    for (const auto &c : cases) {
        const Options options;
        Session session(Machine::load(test::image_path(c.image)), options);
        const Scenario scenario = parse_scenario(c.steps, "s.yaml");
        ScenarioRunner runner(scenario);
        session.add_frontend(runner);
        EXPECT_EQ(session.run(), c.status) << c.image << "\n" << c.steps;
        EXPECT_EQ(session.machine().console().overruns(), 0u) << c.steps;
        // What the page and other front ends are told at the end.
        EXPECT_EQ(session.ending().empty(), c.status == 0) << session.ending();
    }
}

// A reset asked for while the firmware waits for a key, from inside the run
// (as the web page's and the debugger's are), waits for the run to return
// before it replaces the machine.
TEST(Session, ResetsOnlyBetweenRuns)
{
    struct Resetter final : Frontend {
        std::string seen;
        int menus = 0;
        void console_output(Board &, std::string_view bytes) override { seen += bytes; }
        void service(Board &board) override
        {
            if (seen.find("x> Exit") == std::string::npos)
                return;
            seen.clear();
            if (++menus == 1)
                board.reset();
            else
                board.quit(0, "");
        }
        bool holds_session() const override { return true; }
    };
    const Options options;  // the session keeps it
    Session session(Machine::load(test::image_path("consolefw-64")), options);
    Resetter &resetter = session.adopt(std::make_unique<Resetter>());
    EXPECT_EQ(session.run(), 0);
    EXPECT_EQ(resetter.menus, 2);
}

TEST(ScenarioFile, NamesTheLineOfEachMistake)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"- write: \"1\"\n- wait_fr: \"x\"\n", "s.yaml:2: unknown key 'wait_fr'; did you mean 'wait_for'?"},
        {"- Timeout: 1\n", "s.yaml:1: unknown key 'Timeout'; did you mean 'timeout'?"},
        {"- rleease: up\n", "s.yaml:1: unknown key 'rleease'; did you mean 'release'?"},
        {"- expect_bcklite: 1\n", "s.yaml:1: unknown key 'expect_bcklite'\n"},
        {"- hold: rigth\n", "s.yaml:1: no button 'rigth' (up, down, left or right); did you mean 'right'?"},
        {"- hold: uo\n", "s.yaml:1: no button 'uo' (up, down, left or right); did you mean 'up'?"},
        {"- hold: upp\n", "s.yaml:1: no button 'upp' (up, down, left or right); did you mean 'up'?"},
        {"- hold: ou\n", "s.yaml:1: no button 'ou' (up, down, left or right)\n"},
        {"- write: \"1\"\n  hold: up\n", "s.yaml:2: one action per step: 'write' and 'hold'"},
        {"- write: \"1\"\n  timeout: 3\n", "s.yaml:2: timeout belongs to wait_for and expect_exit, not write"},
        {"- timeout: 3\n", "s.yaml:1: a step without an action"},
        {"\n\n- hold: middle\n", "s.yaml:3: no button 'middle' (up, down, left or right)"},
        {"- wait: soon\n", "s.yaml:1: wait wants a number of seconds, at most 1000000 (about 11.6 days), not 'soon'"},
        {"- wait: 1e11\n", "s.yaml:1: wait wants a number of seconds, at most 1000000 (about 11.6 days), not '1e11'"},
        {"- wait: -1\n", "s.yaml:1: wait wants a number of seconds, at most 1000000 (about 11.6 days), not '-1'"},
        {"- wait: .nan\n", "s.yaml:1: wait wants a number of seconds, at most 1000000 (about 11.6 days), not '.nan'"},
        {"- wait_for: x\n  timeout: 1e308\n",
         "s.yaml:2: timeout wants a number of seconds, at most 1000000 (about 11.6 days), not '1e308'"},
        {"- write: \"1\"\nwrite: \"x\"\n- wait: 1\n", "s.yaml:2: a scenario is one list of steps, but another YAML"},
        {"- write: \"1\"\n---\n- wait: 1\n", "s.yaml:2: a scenario is one list of steps, but another YAML"},
        {"- write: \"1\"\n...\n- wait: 1\n", "s.yaml:3: a scenario is one list of steps, but another YAML"},
        {"- write: \"1\"\n- write: \"x\n", "s.yaml:2: the quote \" opened here is never closed"},
        {"- write: \"1\"\n- wait_for: 'it''s\n", "s.yaml:2: the quote ' opened here is never closed"},
        {"- write: \"\\u0100\"\n", "s.yaml:1: write sends bytes, \\x00 to \\xff; U+0100 is not one"},
        {"- hold: [[[[[[[[[up]]]]]]]]]\n", "s.yaml:1: lists and mappings nested more than 8 deep"},
        {"- wait_for: x\n  timeout: 0\n", "s.yaml:2: timeout wants more than 0 seconds"},
        {"- expect_backlight: 101\n", "s.yaml:1: expect_backlight wants a whole number from 0 to 100, not '101'"},
        {"- expect_pin: {port: N, pin: 9}\n", "s.yaml:1: expect_pin needs a level, a function or both"},
        {"- expect_pin: {port: Z, pin: 9, level: 1}\n", "s.yaml:1: port wants a letter, A to Q, not 'Z'"},
        {"- expect_pin: {port: N, pin: 9, function: alt15}\n",
         "s.yaml:1: function wants input, output or alt1 to alt14, not 'alt15'"},
        {"- expect_pin: {port: N, pin: 9, function: alt99999999999999999999}\n",
         "s.yaml:1: function wants input, output or alt1 to alt14, not 'alt99999999999999999999'"},
        {"- expect_pin:\n    port: N\n    pin: 9\n    colour: red\n",
         "s.yaml:4: unknown key 'colour' in expect_pin (port, pin, level, function)\n"},
        {"- expect_pin: {port: N, pin: 9, levle: 1}\n",
         "s.yaml:1: unknown key 'levle' in expect_pin (port, pin, level, function); did you mean 'level'?"},
        {"- write\n", "s.yaml:1: a step is a mapping with one action, such as '- write: \"1\"'"},
        {"write: \"1\"\n", "s.yaml:1: a scenario is a list of steps, each starting with '- '"},
        {"# nothing yet\n", "s.yaml:1: no steps"},
        {"- write: [1, 2]\n", "s.yaml:1: write wants a single value"},
        {"- write: \"1\"\n-\twait: 1\n", "s.yaml:2: a tab in the indentation: YAML does not allow tabs"},
        {"- wait_for: x\n  timeout: 1\n  timeout: 2\n", "s.yaml:3: a second timeout in one step"},
        {"- expect_pin: {port: N, pin: 9, port: F, level: 1}\n", "s.yaml:1: a second 'port' in expect_pin"},
        {"- wait: 1\n- restore: a.state\n", "s.yaml:2: restore comes first"},
        {"- restore: a.state\n", "s.yaml:1: no steps"},
    };
    for (const auto &c : cases) {
        try {
            parse_scenario(c.text, "s.yaml");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ScenarioError &error) {
            // A row that ends in a line feed is the whole message: no guess.
            EXPECT_TRUE((error.what() + std::string("\n")).starts_with(c.error)) << c.text << "\n" << error.what();
        }
    }
    // YAML's own syntax errors carry their line too.
    try {
        parse_scenario("- write: \"1\"\n  - hold: up\n", "s.yaml");
        ADD_FAILURE() << "accepted a list inside a step";
    } catch (const ScenarioError &error) {
        EXPECT_EQ(std::string(error.what()), "s.yaml:2: end of map not found");
    }
}

}  // namespace
}  // namespace kelto::sim::frontend

namespace kelto::sim::frontend::gdb {
namespace {

// The remote protocol's framing, byte for byte, without a socket.
TEST(GdbPackets, FramingChecksumsAndEscapes)
{
    EXPECT_EQ(frame("OK"), "$OK#9a");
    EXPECT_EQ(frame("a#b$c}d*"), "$a}\x03" "b}\x04" "c}]d}\x0a#ec") << "reserved characters escaped";
    EXPECT_EQ(unescape("a}\x03" "b}]"), "a#b}");
    EXPECT_EQ(word_hex(0x50080254), "54020850");
    EXPECT_EQ(parse_word_hex("54020850"), 0x50080254u);
    EXPECT_EQ(parse_hex("7f005420"), 0x7F005420u);
    EXPECT_FALSE(parse_hex("7f0x"));
    EXPECT_FALSE(from_hex("abc"));

    PacketReader reader;
    reader.feed("+junk$g#67-\x03$m0,4#00$qC");
    using Kind = Incoming::Kind;
    const Kind expected[] = {Kind::ack, Kind::packet, Kind::nack, Kind::interrupt, Kind::corrupt};
    for (Kind kind : expected) {
        const std::optional<Incoming> item = reader.next();
        ASSERT_TRUE(item);
        EXPECT_EQ(item->kind, kind);
    }
    EXPECT_FALSE(reader.next()) << "a packet without its checksum yet";
    reader.feed("#b4");
    const std::optional<Incoming> last = reader.next();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->payload, "qC");

    // The longest packet taken, a byte at a time; one byte more is refused.
    for (const std::size_t size : {PacketReader::max_payload, PacketReader::max_payload + 1}) {
        std::vector<Kind> kinds;
        for (const char c : frame(std::string(size, 'a')))
            for (reader.feed(std::string_view(&c, 1)); const std::optional<Incoming> item = reader.next();)
                kinds.push_back(item->kind);
        EXPECT_EQ(kinds, std::vector{size > PacketReader::max_payload ? Kind::oversize : Kind::packet});
    }
}

// Packets in order, each with its reply ("-" for none: the board runs), and
// the stop replies, on a board whose main stores a word: a watchpoint on one
// of its bytes stops it.
TEST(GdbStub, AnswersPacketsAndStops)
{
    const std::uint32_t link = 0x50080000, data = 0x50081000;
    // ldr r0, [pc, #4]; str r0, [r0]; bx lr; .word data
    const Options options;
    Session board(test::load_tiny(link, {{link, {0xE59F0004, 0xE5800000, 0xE12FFF1E, data}, 0, false},
                                         {data, {0}, 4, true}}),
                  options);
    Stub stub;
    DebugTarget &target = board.debug_target();
    stub.attach(target);
    auto reply = [&](std::string_view packet) { return stub.handle(target, packet).value_or("-"); };
    const std::string gpn = reply("m7f008830,4") + reply("m7f008834,4") + reply("m7f008838,4");
    const std::pair<std::string, std::string> exchanges[] = {
        {"p11", "E01"}, {"P11=00000000", "E01"}, {"m7f008830,10", gpn}, {"m7f00883c,4", "E01"},
        {"qSupported", "PacketSize=4000;qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;ReverseStep+;ReverseContinue+"},
        {"Z2,50081001,1", "OK"}, {"Z0,50080000,4", "OK"}, {"c", "-"},
    };
    for (const auto &[packet, expected] : exchanges)
        EXPECT_EQ(reply(packet), expected) << packet;
    const std::string state = testing::TempDir() + "/stub.state", nowhere = "/no/such/dir/s";
    for (const auto &[path, answer] : {std::pair{state, "board saved to " + state},
                                       {nowhere, "cannot save the board: " + nowhere + ": cannot write the state"}})
        EXPECT_TRUE(from_hex(reply("qRcmd," + to_hex("save " + path))).value_or("").starts_with(answer)) << path;
    EXPECT_NO_THROW(read_state_file(state, board.machine().image().fingerprint()));
    const RunResult watched = board.machine().run();
    EXPECT_EQ(stub.halted(Halt{Halt::Kind::watchpoint, watched.address, 0, {}}), "T05watch:50081001;thread:1;");
    for (const auto &[kind, expected] :
         {std::pair{Halt::Kind::fault, "T0bthread:1;"}, {Halt::Kind::step, "T05thread:1;"}}) {
        EXPECT_EQ(reply("c"), "-");
        EXPECT_EQ(stub.halted(Halt{kind, 0, 0, {}}), expected);
    }
    // The debugger goes away from a halted board: its points go, and the
    // board runs on.
    board.pause();
    stub.release(target);
    EXPECT_FALSE(board.paused());
    board.machine().set_reg(15, link);
    EXPECT_EQ(board.machine().run().reason, StopReason::returned);
}

// With multiprocess ids agreed: thread ids, stops and exits name process 1
// and nothing else; gdb's writes to registers are the firmware's stores,
// refused with the strict checks' reason; extended mode's kill keeps keltosim.
TEST(GdbStub, MultiprocessIdsMemoryMapAndRegisterWrites)
{
    const std::uint32_t link = 0x50080000;
    Session board(test::load_tiny(link, {{link, {0xE12FFF1E}, 0, false}}), Options{});
    Stub stub;
    DebugTarget &target = board.debug_target();
    stub.attach(target);
    auto reply = [&](std::string_view packet) { return stub.handle(target, packet).value_or("-"); };
    EXPECT_EQ(reply("qSupported:multiprocess+;swbreak+"),
              "PacketSize=4000;qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;ReverseStep+;ReverseContinue+;multiprocess+");
    const std::pair<std::string, std::string> exchanges[] = {
        {"qC", "QCp1.1"}, {"qfThreadInfo", "mp1.1"}, {"?", "T05thread:p1.1;"}, {"Hgp1.1", "OK"}, {"Hc-1", "OK"},
        {"Hgp2.1", "E01"}, {"Tp1.1", "OK"}, {"Tp1.2", "E01"}, {"D;2", "E01"}, {"vKill;2", "E01"},
        {"vCont?", "vCont;c;C;s;S"}, {"vCont;c:p2.1", "E01"},
        {"M7f005420,1:41", "E.write of 1 byte(s) at 0x7f005420 (UTXH): registers are accessed as whole aligned words"},
        {"M7f005424,4:41000000",
         "E.write of 0x00000041 to 0x7f005424 (UART1 URXH), which the model does not implement as writable"},
        {"M7f005420,4:42000000", "OK"},
        {"M7f005420,4:43000000", "E.byte written to UTXH while the transmit FIFO is full (the byte would be lost)"},
        {"M10000000,4:42000000", "E.write of 0x00000042 to 0x10000000, which is "
                                                               "neither DRAM nor a modelled register"},
        {"!", "OK"}, {"vKill;1", "OK"}, {"vRun;", "T05thread:p1.1;"}, {"vCont;s:p1.1;c", "-"},
    };
    for (const auto &[packet, expected] : exchanges)
        EXPECT_EQ(reply(packet), expected) << packet;
    EXPECT_FALSE(stub.closing()) << "extended mode's kill";
    EXPECT_EQ(stub.halted(Halt{Halt::Kind::step, 0, 0, {}}), "T05thread:p1.1;");
    EXPECT_EQ(reply("c"), "-");
    EXPECT_EQ(stub.halted(Halt{Halt::Kind::exited, 0, 4, {}}), "W04;process:1");
    EXPECT_EQ(reply("m7f005418,4"), "00410000") << "UFSTAT: the one byte in UART1's transmit FIFO (off) fills it";

    // DRAM and every register window, in order, as gdb's info mem lists them.
    const std::vector<MemoryRegion> regions = target.memory_map();
    EXPECT_EQ(regions.front(), (MemoryRegion{0x50000000, 0x8000000, "DRAM"}));
    EXPECT_EQ(regions.size(), 1 + board.machine().devices().size());
    EXPECT_TRUE(std::is_sorted(regions.begin(), regions.end(),
                               [](const MemoryRegion &a, const MemoryRegion &b) { return a.start < b.start; }));
}

}  // namespace
}  // namespace kelto::sim::frontend::gdb
