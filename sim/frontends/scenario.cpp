#include "frontends/scenario.hpp"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "core/suggest.hpp"
#include "frontends/cli.hpp"
#include "models/gpio.hpp"

namespace kelto::sim::frontend {

namespace {

using Action = Step::Action;

const std::map<std::string, Action, std::less<>> actions{
    {"write", Action::write},
    {"wait_for", Action::wait_for},
    {"wait", Action::wait},
    {"hold", Action::hold},
    {"release", Action::release},
    {"expect_backlight", Action::expect_backlight},
    {"expect_pin", Action::expect_pin},
    {"expect_exit", Action::expect_exit},
    {"restore", Action::restore},
};

// What a step may say, for guessing at a mistyped key.
const std::vector<std::string_view> &step_keys()
{
    static const std::vector<std::string_view> keys = [] {
        std::vector<std::string_view> list{"timeout"};
        for (const auto &entry : actions)
            list.emplace_back(entry.first);
        return list;
    }();
    return keys;
}

constexpr std::string_view pin_keys[] = {"port", "pin", "level", "function"};

const char *action_name(Action action)
{
    for (const auto &[name, value] : actions)
        if (value == action)
            return name.c_str();
    return "?";
}

int line_of(const YAML::Node &node, int fallback)
{
    const int line = node.Mark().line;
    return line >= 0 ? line + 1 : fallback;
}

// The code point starting at text[i], advancing i past it; nullopt for a
// malformed sequence.
std::optional<char32_t> next_code_point(const std::string &text, std::size_t &i)
{
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80)
        return lead;
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || lead > 0xF4 || i + static_cast<std::size_t>(extra) > text.size())
        return std::nullopt;
    char32_t code = lead & (0x3F >> extra);
    for (int k = 0; k < extra; k++) {
        const auto next = static_cast<unsigned char>(text[i++]);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        code = (code << 6) | (next & 0x3F);
    }
    return code;
}

constexpr std::size_t excerpt_bytes = 80;

// What a message adds after the first excerpt_bytes of a longer text.
std::string cut_note(std::string_view text)
{
    return text.size() > excerpt_bytes ? "... (" + std::to_string(text.size()) + " bytes)" : std::string();
}

// A value as the file gave it, in single quotes, cut as quoted_excerpt cuts.
std::string as_written(std::string_view text)
{
    return "'" + std::string(text.substr(0, excerpt_bytes)) + "'" + cut_note(text);
}

class Parser {
public:
    explicit Parser(std::string name) : name_(std::move(name)) {}

    [[noreturn]] void fail(int line, const std::string &message) const
    {
        throw ScenarioError(name_ + ":" + std::to_string(line) + ": " + message);
    }

    std::string scalar(const YAML::Node &node, int line, const char *what) const
    {
        if (!node.IsScalar())
            fail(line_of(node, line), std::string(what) + " wants a single value");
        return node.Scalar();
    }

    double seconds(const YAML::Node &node, int line, const char *what) const
    {
        const std::string text = scalar(node, line, what);
        const std::optional<double> value = parse_seconds(text);
        if (!value)
            fail(line_of(node, line),
                 std::string(what) + " wants a number of seconds, " + seconds_range() + ", not " + as_written(text));
        return *value;
    }

    // The console line carries bytes: each character of the text, as YAML
    // decoded it, is one byte, so "\xff" sends 0xFF rather than its UTF-8
    // form. Characters past U+00FF have no byte.
    std::string console_bytes(const YAML::Node &node, int line, const char *what) const
    {
        const std::string text = scalar(node, line, what);
        std::string bytes;
        for (std::size_t i = 0; i < text.size();) {
            const std::optional<char32_t> code = next_code_point(text, i);
            if (!code)
                fail(line_of(node, line), std::string(what) + " text is not valid UTF-8");
            if (*code > 0xFF) {
                char name[16];
                std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(*code));
                fail(line_of(node, line), std::string(what) + " sends bytes, \\x00 to \\xff; " + name +
                                              " is not one");
            }
            bytes += static_cast<char>(*code);
        }
        return bytes;
    }

    long integer(const YAML::Node &node, int line, const char *what, long low, long high) const
    {
        const std::string text = scalar(node, line, what);
        long value = 0;
        std::istringstream in(text);
        in >> value;
        if (!in || !in.eof() || value < low || value > high)
            fail(line_of(node, line), std::string(what) + " wants a whole number from " + std::to_string(low) +
                                          " to " + std::to_string(high) + ", not " + as_written(text));
        return value;
    }

    Button button(const YAML::Node &node, int line) const
    {
        std::string text = scalar(node, line, "a button");
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        if (const std::optional<Button> button = button_named(text))
            return *button;
        fail(line_of(node, line),
             "no button " + as_written(text) + " (up, down, left or right)" + did_you_mean(text, button_names));
    }

    std::vector<Button> buttons(const YAML::Node &node, int line) const
    {
        std::vector<Button> result;
        if (node.IsSequence()) {
            for (const YAML::Node &item : node)
                result.push_back(button(item, line));
            if (result.empty())
                fail(line, "an empty list of buttons");
        } else {
            result.push_back(button(node, line));
        }
        return result;
    }

    unsigned function(const YAML::Node &node, int line) const
    {
        std::string text = scalar(node, line, "function");
        if (text == "input")
            return GpioBlock::function_input;
        if (text == "output")
            return GpioBlock::function_output;
        // At most two digits: a longer number is out of range anyway, and
        // would overflow the conversion instead of earning this message.
        if (text.starts_with("alt") && text.size() > 3 && text.size() <= 5 &&
            std::all_of(text.begin() + 3, text.end(), [](unsigned char c) { return std::isdigit(c); })) {
            const unsigned n = static_cast<unsigned>(std::stoul(text.substr(3)));
            if (n >= 1 && n <= 14)
                return n + 1;
        }
        fail(line_of(node, line), "function wants input, output or alt1 to alt14, not " + as_written(text));
    }

    void pin(const YAML::Node &node, Step &step) const
    {
        if (!node.IsMap())
            fail(step.line, "expect_pin wants a mapping such as {port: N, pin: 9, level: 1}");
        bool has_port = false, has_pin = false;
        std::set<std::string> keys;
        for (const auto &entry : node) {
            const std::string key = entry.first.Scalar();
            const YAML::Node &value = entry.second;
            const int line = line_of(entry.first, step.line);
            if (!keys.insert(key).second)
                fail(line, "a second " + as_written(key) + " in expect_pin");
            if (key == "port") {
                std::string letter = scalar(value, line, "port");
                if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0])))
                    fail(line, "port wants a letter, A to Q, not " + as_written(letter));
                const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
                if (upper > 'Q')
                    fail(line, "port wants a letter, A to Q, not " + as_written(letter));
                step.pin.port = static_cast<std::uint8_t>(upper - 'A');
                has_port = true;
            } else if (key == "pin") {
                step.pin.number = static_cast<std::uint8_t>(integer(value, line, "pin", 0, 31));
                has_pin = true;
            } else if (key == "level") {
                step.level = integer(value, line, "level", 0, 1) == 1;
            } else if (key == "function") {
                step.function = function(value, line);
            } else {
                fail(line, "unknown key " + as_written(key) + " in expect_pin (port, pin, level, function)" +
                               did_you_mean(key, pin_keys));
            }
        }
        if (!has_port || !has_pin)
            fail(step.line, "expect_pin needs a port and a pin");
        if (!step.level && !step.function)
            fail(step.line, "expect_pin needs a level, a function or both");
    }

    Step step(const YAML::Node &node) const
    {
        Step step{};
        step.line = line_of(node, 1);
        if (!node.IsMap())
            fail(step.line, "a step is a mapping with one action, such as '- write: \"1\"'");
        std::optional<Action> action;
        const YAML::Node *argument = nullptr;
        const YAML::Node *timeout = nullptr;
        std::vector<std::pair<std::string, YAML::Node>> entries;
        for (const auto &entry : node) {
            const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : std::string("?");
            entries.emplace_back(key, entry.second);
        }
        for (const auto &[key, value] : entries) {
            const int line = line_of(value, step.line);
            if (key == "timeout") {
                if (timeout)
                    fail(line, "a second timeout in one step");
                timeout = &value;
                continue;
            }
            const auto found = actions.find(key);
            if (found == actions.end())
                fail(line, "unknown key " + as_written(key) + did_you_mean(key, step_keys()));
            if (action)
                fail(line, std::string("one action per step: '") + action_name(*action) + "' and " + as_written(key));
            action = found->second;
            argument = &value;
        }
        if (!action)
            fail(step.line, "a step without an action");
        step.action = *action;
        const YAML::Node &value = *argument;
        switch (step.action) {
        case Action::write:
            step.text = console_bytes(value, step.line, "write");
            break;
        case Action::wait_for:
            step.text = console_bytes(value, step.line, "wait_for");
            if (step.text.empty())
                fail(step.line, "wait_for wants some text");
            break;
        case Action::wait:
            step.seconds = seconds(value, step.line, "wait");
            break;
        case Action::hold:
        case Action::release:
            step.buttons = buttons(value, step.line);
            break;
        case Action::expect_backlight:
            step.percent = static_cast<int>(integer(value, step.line, "expect_backlight", 0, 100));
            break;
        case Action::expect_pin:
            pin(value, step);
            break;
        case Action::expect_exit:
            step.exit_value = static_cast<std::uint32_t>(integer(value, step.line, "expect_exit", 0, 0xFFFFFFFF));
            break;
        case Action::restore:
            step.text = scalar(value, step.line, "restore");
            if (step.text.empty())
                fail(step.line, "restore wants the file of a saved board");
            break;
        }
        if (timeout && step.action != Action::wait_for && step.action != Action::expect_exit)
            fail(line_of(*timeout, step.line), std::string("timeout belongs to wait_for and expect_exit, not ") +
                                                   action_name(step.action));
        if (step.action == Action::wait_for || step.action == Action::expect_exit) {
            step.seconds = timeout ? seconds(*timeout, step.line, "timeout") : Step::default_timeout;
            if (step.seconds <= 0)
                fail(line_of(*timeout, step.line), "timeout wants more than 0 seconds");
        }
        return step;
    }

private:
    std::string name_;
};

// Reads the text once as events, before any node is built, for what the node
// tree would hide or not survive: a second document (a step that lost its
// '- ', a '---'), a quote that the file ends inside, and nesting deep enough
// to exhaust the parser's recursion.
class StructureCheck final : public YAML::EventHandler {
public:
    // A step needs three levels: the list, the step, an argument list or map.
    static constexpr int max_depth = 8;

    StructureCheck(const Parser &parser, const std::string &text) : parser_(parser), text_(text) {}

    void OnDocumentStart(const YAML::Mark &mark) override
    {
        if (documents_++ > 0)
            parser_.fail(mark.line + 1, "a scenario is one list of steps, but another YAML document starts here "
                                        "(a step without its '- ', or a '---')");
    }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark &, YAML::anchor_t) override {}
    void OnAlias(const YAML::Mark &, YAML::anchor_t) override {}
    void OnScalar(const YAML::Mark &mark, const std::string &, YAML::anchor_t, const std::string &) override
    {
        check_quote_closed(mark);
    }
    void OnSequenceStart(const YAML::Mark &mark, const std::string &, YAML::anchor_t,
                         YAML::EmitterStyle::value) override
    {
        enter(mark);
    }
    void OnSequenceEnd() override { depth_--; }
    void OnMapStart(const YAML::Mark &mark, const std::string &, YAML::anchor_t, YAML::EmitterStyle::value) override
    {
        enter(mark);
    }
    void OnMapEnd() override { depth_--; }

private:
    void enter(const YAML::Mark &mark)
    {
        if (++depth_ > max_depth)
            parser_.fail(mark.line + 1, "lists and mappings nested more than " + std::to_string(max_depth) +
                                            " deep; a step needs three");
    }

    // The parser takes the end of the file as the end of a quoted scalar
    // that ends a line, so a lost closing quote would pass unnoticed.
    void check_quote_closed(const YAML::Mark &mark) const
    {
        if (mark.pos < 0 || static_cast<std::size_t>(mark.pos) >= text_.size())
            return;
        const char quote = text_[static_cast<std::size_t>(mark.pos)];
        if (quote != '"' && quote != '\'')
            return;
        for (std::size_t i = static_cast<std::size_t>(mark.pos) + 1; i < text_.size(); i++) {
            if (quote == '"' && text_[i] == '\\') {
                i++;  // the escaped character
                continue;
            }
            if (text_[i] != quote)
                continue;
            // '' stands for one quote in single quotes.
            const bool doubled = quote == '\'' && i + 1 < text_.size() && text_[i + 1] == '\'';
            if (!doubled)
                return;
            i++;
        }
        parser_.fail(mark.line + 1, std::string("the quote ") + quote + " opened here is never closed");
    }

    const Parser &parser_;
    const std::string &text_;
    int documents_ = 0;
    int depth_ = 0;
};

// Whether the line's indentation, the spaces and list dashes before its
// first other character, holds a tab: YAML's own message for that names a
// symptom ("illegal map value") instead.
bool indented_with_tab(const std::string &text, int line)
{
    std::size_t start = 0;
    for (int n = 1; n < line && start != std::string::npos; n++) {
        start = text.find('\n', start);
        if (start != std::string::npos)
            start++;
    }
    if (start == std::string::npos)
        return false;
    return text.find('\t', start) < text.find_first_not_of(" \t-", start);
}

// A file a scenario names, as a path from its own directory.
std::string beside(const std::string &scenario, const std::string &file)
{
    const std::filesystem::path path(file);
    return path.is_absolute() ? file : (std::filesystem::path(scenario).parent_path() / path).string();
}

}  // namespace

Scenario parse_scenario(const std::string &text, const std::string &name)
{
    const Parser parser(name);
    YAML::Node root;
    try {
        std::istringstream events(text);
        YAML::Parser structure(events);
        StructureCheck check(parser, text);
        while (structure.HandleNextDocument(check)) {
        }
        root = YAML::Load(text);
    } catch (const YAML::ParserException &error) {
        const int line = error.mark.line + 1;
        if (indented_with_tab(text, line))
            parser.fail(line, "a tab in the indentation: YAML does not allow tabs for indentation, only spaces");
        parser.fail(line, error.msg);
    }
    if (!root || root.IsNull())
        parser.fail(1, "no steps");
    if (!root.IsSequence())
        parser.fail(line_of(root, 1), "a scenario is a list of steps, each starting with '- '");
    Scenario scenario{name, {}, {}};
    for (const YAML::Node &node : root) {
        Step step = parser.step(node);
        if (step.action != Action::restore)
            scenario.steps.push_back(std::move(step));
        else if (scenario.restore || !scenario.steps.empty())
            parser.fail(step.line, "restore comes first: a scenario starts from one saved board, before its "
                                   "other steps");
        else
            scenario.restore = std::move(step);
    }
    if (scenario.steps.empty())
        parser.fail(scenario.restore ? scenario.restore->line : 1, "no steps");
    if (scenario.restore)
        scenario.restore->text = beside(name, scenario.restore->text);
    return scenario;
}

Scenario load_scenario(const std::string &path)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        throw ScenarioError(path + ": is a directory, not a scenario file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ScenarioError(path + ": cannot be read: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw ScenarioError(path + ": cannot be read: " + std::strerror(errno));
    return parse_scenario(text.str(), path);
}

void check_against_board(const Scenario &scenario, const BoardSpec &board)
{
    for (const Step &step : scenario.steps) {
        if (step.action != Step::Action::expect_pin)
            continue;
        if (const std::optional<std::string> why = GpioBlock::why_no_pin(board, step.pin))
            throw ScenarioError(where(scenario, step) + ": " + describe(step) + ": " + *why);
    }
}

std::string quoted_excerpt(std::string_view text)
{
    return quoted(text.substr(0, excerpt_bytes)) + cut_note(text);
}

std::string describe(const Step &step)
{
    std::string text = action_name(step.action);
    auto number = [](double value) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%g", value);
        return std::string(buffer);
    };
    switch (step.action) {
    case Action::write:
    case Action::wait_for: return text + " " + quoted_excerpt(step.text);
    case Action::wait: return text + " " + number(step.seconds) + " s";
    case Action::hold:
    case Action::release:
        for (std::size_t i = 0; i < step.buttons.size(); i++)
            text += std::string(i ? ", " : " ") + button_name(step.buttons[i]);
        return text;
    case Action::expect_backlight: return text + " " + std::to_string(step.percent) + " %";
    case Action::expect_pin: {
        text += std::string(" GP") + static_cast<char>('A' + step.pin.port) + std::to_string(step.pin.number);
        if (step.function)
            text += " " + function_name(*step.function);
        if (step.level)
            text += *step.level ? " high" : " low";
        return text;
    }
    case Action::expect_exit: return text + " " + std::to_string(step.exit_value);
    case Action::restore: return text + " " + step.text;
    }
    return text;
}

std::string where(const Scenario &scenario, const Step &step)
{
    return scenario.name + ":" + std::to_string(step.line);
}

}  // namespace kelto::sim::frontend
