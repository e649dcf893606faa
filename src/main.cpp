// Console firmware: brings up the timer block, the console UART, the buttons
// and the backlight, then offers a menu of three test screens on the serial
// console.
#include <stdio.h>

#include "console_input.hpp"
#include "kelto_backlight.hpp"
#include "kelto_button.hpp"
#include "s3c_timer.hpp"
#include "s3c_uart.hpp"

namespace {

constexpr int console_channel = 1;
constexpr int console_baud = 115200;

// The button test's pause between passes sets its sampling rate.
constexpr int button_poll_ms = 50;

constexpr int delay_test_passes = 10;
constexpr int delay_test_ms = 1000;

struct ButtonLine {
    KELTO_BTN_KEYCODE code;
    const char *text;
};

constexpr ButtonLine button_lines[] = {
    {KELTO_BTN_KEYCODE_UP, "Up key pressed"},
    {KELTO_BTN_KEYCODE_DOWN, "Down key pressed"},
    {KELTO_BTN_KEYCODE_LEFT, "Left key pressed"},
    {KELTO_BTN_KEYCODE_RIGHT, "Right key pressed"},
};

// The timer block comes first, and nothing may be printed before the UART.
void kelto_hw_init()
{
    kelto_timer_init();
    kelto_uart_init(console_channel, console_baud);
    kelto_btn_init();
    kelto_backlight_init();
}

void kelto_print_splash()
{
    putchar('\n');
    printf("Kelto Firmware - %s %s\n\n", __TIME__, __DATE__);
}

// Runs until a byte arrives on the console; that byte is consumed.
void kelto_menu_button()
{
    char buf;
    int len;

    puts("To exit button test, press any key (in keyboard)");
    for (;;) {
        len = kelto_uart_read(&buf, 1, 1);
        if (len > 0)
            return;
        for (const ButtonLine &line : button_lines) {
            if (kelto_btn_scan(line.code) == KELTO_BTN_STATE_DOWN)
                puts(line.text);
        }
        mdelay(button_poll_ms);
    }
}

// The delay comes before each line, so the first line shows one second in.
void kelto_menu_timer()
{
    for (int i = 0; i < delay_test_passes; i++) {
        mdelay(delay_test_ms);
        printf("1 Second Delay Test %d\n", i);
    }
}

void kelto_menu_backlight()
{
    for (;;) {
        puts("\nLCD Backlight Control");
        puts("1> Step Up LCD Brightness");
        puts("2> Step Down LCD Brightness");
        puts("x> Exit to back");

        const int c = console_getchar();
        printf("%c is selected\n", c);

        if (c == '1')
            kelto_backlight_stepup();
        else if (c == '2')
            kelto_backlight_stepdown();
        else if (c == 'x')
            return;
    }
}

void kelto_menu_main()
{
    for (;;) {
        puts("\nMain menu");
        puts("1> Button Test");
        puts("2> Timer Test");
        puts("3> LCD Backlight Test");
        puts("x> Exit");

        const int c = console_getchar();
        printf("%c is selected\n", c);

        if (c == '1')
            kelto_menu_button();
        else if (c == '2')
            kelto_menu_timer();
        else if (c == '3')
            kelto_menu_backlight();
        else if (c == 'x')
            return;
        else
            puts("No item");
    }
}

}  // namespace

int main()
{
    kelto_hw_init();
    kelto_print_splash();
    kelto_menu_main();
    return 0;
}
