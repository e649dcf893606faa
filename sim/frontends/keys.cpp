#include "frontends/keys.hpp"

namespace kelto::sim::frontend {

std::string key_name(std::uint8_t control)
{
    return std::string("Ctrl-") + static_cast<char>('@' + (control & 0x1F));
}

std::string key_help(std::uint8_t escape)
{
    const std::string key = key_name(escape);
    return key + " then:\n"
                 "  u d l r   hold or release up, down, left, right (also 1 2 3 4)\n"
                 "  0         release all buttons\n"
                 "  s         show the board: buttons, backlight, pins\n"
                 "  h ?       this help\n"
                 "  x q       quit\n"
                 "  " + key + "    send " + key + " to the board\n";
}

std::optional<KeyCommand> EscapeDecoder::take(std::uint8_t byte)
{
    using Kind = KeyCommand::Kind;
    if (!armed_) {
        if (byte == escape_) {
            armed_ = true;
            return std::nullopt;
        }
        return KeyCommand{Kind::send, byte};
    }
    armed_ = false;
    auto board = [](BoardCommand::Kind kind, Button button = Button::up) {
        return KeyCommand{Kind::board, 0, BoardCommand{kind, button}};
    };
    auto toggle = [&](Button button) { return board(BoardCommand::Kind::toggle, button); };
    if (byte == escape_)
        return KeyCommand{Kind::send, escape_};
    switch (byte) {
    case 'u': case 'U': case '1': return toggle(Button::up);
    case 'd': case 'D': case '2': return toggle(Button::down);
    case 'l': case 'L': case '3': return toggle(Button::left);
    case 'r': case 'R': case '4': return toggle(Button::right);
    case '0': return board(BoardCommand::Kind::release_all);
    case 'x': case 'X': case 'q': case 'Q': return KeyCommand{Kind::quit};
    case 's': case 'S': return board(BoardCommand::Kind::board);
    case 'h': case 'H': case '?': return KeyCommand{Kind::help};
    default: return KeyCommand{Kind::unknown, byte};
    }
}

}  // namespace kelto::sim::frontend
