#include "frontends/board_command.hpp"

#include <algorithm>
#include <utility>

#include "frontends/board_view.hpp"

namespace kelto::sim::frontend {

namespace {

using Kind = BoardCommand::Kind;

constexpr std::pair<std::string_view, Kind> single_words[] = {
    {"reset", Kind::reset}, {"run", Kind::run},     {"resume", Kind::run},
    {"pause", Kind::pause}, {"board", Kind::board}, {"time", Kind::time},
};

std::string held_text(Button button, bool held)
{
    return std::string(button_name(button)) + (held ? " held\n" : " released\n");
}

}  // namespace

std::optional<BoardCommand> parse_board_command(std::string_view text)
{
    for (const auto &[word, kind] : single_words)
        if (text == word)
            return BoardCommand{kind};
    const auto space = text.find(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    const std::string_view verb = text.substr(0, space), object = text.substr(space + 1);
    if (verb == "release" && object == "all")
        return BoardCommand{Kind::release_all};
    if (verb != "press" && verb != "release")
        return std::nullopt;
    const std::optional<Button> button = button_named(object);
    if (!button)
        return std::nullopt;
    return BoardCommand{verb == "press" ? Kind::press : Kind::release, *button};
}

bool moves_buttons(const BoardCommand &command)
{
    using Kind = BoardCommand::Kind;
    return command.kind == Kind::press || command.kind == Kind::release || command.kind == Kind::release_all ||
           command.kind == Kind::toggle;
}

std::string carry_out(Board &board, const BoardCommand &command)
{
    switch (command.kind) {
    case Kind::press:
    case Kind::release:
        board.set_button(command.button, command.kind == Kind::press);
        return held_text(command.button, command.kind == Kind::press);
    case Kind::toggle: {
        const std::vector<Button> held = board.view().held;
        const bool hold = std::find(held.begin(), held.end(), command.button) == held.end();
        board.set_button(command.button, hold);
        return held_text(command.button, hold);
    }
    case Kind::release_all:
        for (Button button : all_buttons)
            board.set_button(button, false);
        return "all buttons released\n";
    case Kind::reset: board.reset(); return "the board starts again from main\n";
    case Kind::run: board.resume(); return "the board runs\n";
    case Kind::pause: board.pause(); return "the board stands still\n";
    case Kind::board: return report_text(board.view());
    case Kind::time: return time_text(board.view());
    }
    return {};
}

}  // namespace kelto::sim::frontend
