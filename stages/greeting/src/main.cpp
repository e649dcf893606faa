// Greeting firmware: three lines on UART channel 1 of board 24, then back
// to the loader.
#include <string.h>

#include "board.hpp"
#include "s3c_uart.hpp"

int main()
{
    const char *hello = "Hello World!\n";

    kelto_uart_init(board::uart_base[1], 115200);
    for (int i = 0; i < 3; i++)
        kelto_uart_write(hello, static_cast<int>(strlen(hello)));
    return 0;
}
