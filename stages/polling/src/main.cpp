// Button-polling firmware: a two-entry menu on the serial console and a
// button test that reads port N as fast as the loop runs.
#include <stdio.h>

#include "console_input.hpp"
#include "kelto_button.hpp"
#include "s3c_uart.hpp"

namespace {

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

void kelto_hw_init()
{
    kelto_uart_init(1, 115200);
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
    }
}

void kelto_menu_main()
{
    for (;;) {
        puts("\nMain menu");
        puts("1> Button Test");
        puts("x> Exit");

        const int c = console_getchar();
        printf("%c is selected\n", c);

        if (c == '1')
            kelto_menu_button();
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
