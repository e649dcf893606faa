// The greeting firmware's own small UART module: the caller names the
// channel by its base address, and bytes go out untranslated.
#pragma once

extern "C" {
void kelto_uart_init(unsigned long baseAddress, int baud);
int kelto_uart_write(const char *buf, int len);
}
