#include "frontends/board_view.hpp"

#include <algorithm>
#include <cstdio>

#include "frontends/display.hpp"
#include "frontends/escape.hpp"

namespace kelto::sim::frontend {

namespace {

std::string held_text(const BoardView &view, const char *separator)
{
    std::string held;
    for (Button button : view.held)
        held += (held.empty() ? "" : separator) + std::string(button_name(button));
    return held.empty() ? "none" : held;
}

std::string fixed(const char *format, double value)
{
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string pin_json(const GpioBlock::PinRow &row)
{
    return "{\"name\":" + json_string(row.name()) + ",\"function\":" + json_string(function_name(row.function)) +
           ",\"level\":" + (row.level ? (*row.level ? "\"high\"" : "\"low\"") : "null") +
           ",\"label\":" + json_string(row.label) + ",\"text\":" + json_string(row.text()) + "}";
}

}  // namespace

BoardView view_of(Machine &machine, bool paused)
{
    BoardView view{machine.board().name,          machine.board().chip_name,    file_name(machine.image().path()),
                   machine.clock().mode(),        machine.seconds(),            paused,
                   {},                            machine.backlight_percent(),  machine.gpio().pin_rows(),
                   machine.clock().paced()};
    for (Button button : all_buttons)
        if (machine.button_held(button))
            view.held.push_back(button);
    return view;
}

std::string status_text(const BoardView &view)
{
    return view.board + " | buttons held: " + held_text(view, " ") + " | backlight: " + backlight_text(view.backlight);
}

std::string report_text(const BoardView &view)
{
    std::string text = view.board + " (" + view.chip + "), " + view.image + ", " + fixed("%.6f s", view.seconds) +
                       " of board time on the " + clock_text(view.clock, view.paced) + "\n";
    text += "buttons held: " + held_text(view, ", ") + "\n";
    text += "backlight: " + backlight_text(view.backlight) + "\n";
    // Wired inputs (the buttons) are listed too.
    text += "pins wired on the board, and any others not plain inputs:\n";
    for (const GpioBlock::PinRow &row : view.pins)
        text += "  " + row.text() + "\n";
    return text;
}

std::string time_text(const BoardView &view)
{
    return "board time " + fixed("%.6f", view.seconds) + " s on the " + clock_text(view.clock, view.paced) + "\n";
}

std::string view_json(const BoardView &view)
{
    std::string buttons = "{";
    for (Button button : all_buttons) {
        const bool held = std::find(view.held.begin(), view.held.end(), button) != view.held.end();
        buttons += std::string(buttons.size() > 1 ? "," : "") + "\"" + button_name(button) +
                   "\":" + (held ? "true" : "false");
    }
    std::string pins = "[";
    for (const GpioBlock::PinRow &row : view.pins)
        pins += (pins.size() > 1 ? "," : "") + pin_json(row);
    return R"({"t":"state","board":)" + json_string(view.board) + ",\"chip\":" + json_string(view.chip) +
           ",\"clock\":\"" + clock_name(view.clock) + "\",\"paced\":" + (view.paced ? "true" : "false") +
           ",\"time\":" + fixed("%.6f", view.seconds) +
           ",\"paused\":" + (view.paused ? "true" : "false") + ",\"buttons\":" + buttons +
           "},\"backlight\":" + (view.backlight ? std::to_string(*view.backlight) : "null") + ",\"pins\":" + pins +
           "]}";
}

}  // namespace kelto::sim::frontend
