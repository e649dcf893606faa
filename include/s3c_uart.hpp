// Polled driver for one channel of the chip's UART block.
#pragma once

extern "C" {

// Selects channel chn (0..3) and programs it for 8N1 at baud bit/s.
// Returns -1, writing nothing, for an unknown channel or a rate of 0 or less.
int kelto_uart_init(int chn, int baud);

// Queues one byte; a line feed goes out as CR LF.
void kelto_uart_putc(const char c);

// Queues len bytes through kelto_uart_putc and returns len.
int kelto_uart_write(const char *buf, int len);

// Stores up to len received bytes. With nowait 0 it waits for the first
// byte, then takes only what is already waiting.
int kelto_uart_read(char *buf, int len, int nowait);

}
