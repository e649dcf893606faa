// Polled UART driver: one channel at a time, no interrupts, no DMA.
#include "s3c_uart.hpp"

#include <stdint.h>

#include "board.hpp"
#include "mmio.hpp"

namespace {

// Register offsets within a channel.
constexpr uint32_t ULCON = 0x00;
constexpr uint32_t UCON = 0x04;
constexpr uint32_t UFCON = 0x08;
constexpr uint32_t UFSTAT = 0x18;
constexpr uint32_t UTXH = 0x20;
constexpr uint32_t URXH = 0x24;
constexpr uint32_t UBRDIV = 0x28;

constexpr uint32_t ULCON_8N1 = 0x03;
// Receive and transmit polled, PCLK as the baud clock.
constexpr uint32_t UCON_POLLED_PCLK = 0x805;
// FIFOs on, both emptied; the trigger levels matter only to interrupts.
constexpr uint32_t UFCON_FIFO_RESET = 0x77;

constexpr uint32_t UFSTAT_RX_COUNT = 0x3F;
constexpr uint32_t UFSTAT_RX_FULL = 1u << 6;
constexpr uint32_t UFSTAT_TX_FULL = 1u << 14;

// The chip divides the baud clock by 16 x (UBRDIV + 1).
constexpr int32_t baud_clock = board::pclk_hz / 16;
static_assert(baud_clock == 4'125'000);

constexpr int channel_count = sizeof board::uart_base / sizeof board::uart_base[0];
constexpr const uint32_t (&uart_base)[channel_count] = board::uart_base;

uint32_t base;  // channel in use; set by the first successful kelto_uart_init

// A completely full FIFO reads as count 0 with the full flag set, and its
// 64 bytes are waiting all the same.
bool rx_data_waiting()
{
    return (reg_read(base + UFSTAT) & (UFSTAT_RX_COUNT | UFSTAT_RX_FULL)) != 0;
}

void send_raw(uint32_t byte)
{
    while (reg_read(base + UFSTAT) & UFSTAT_TX_FULL) {
    }
    reg_write(base + UTXH, byte);
}

}  // namespace

extern "C" int kelto_uart_init(int chn, int baud)
{
    if (chn < 0 || chn >= channel_count || baud <= 0)
        return -1;

    base = uart_base[chn];
    reg_write(base + ULCON, ULCON_8N1);
    reg_write(base + UCON, UCON_POLLED_PCLK);
    reg_write(base + UFCON, UFCON_FIFO_RESET);
    reg_write(base + UBRDIV, static_cast<uint32_t>(baud_clock / baud - 1));
    return 0;
}

extern "C" void kelto_uart_putc(const char c)
{
    if (c == '\n')
        send_raw('\r');
    send_raw(static_cast<unsigned char>(c));
}

extern "C" int kelto_uart_write(const char *buf, int len)
{
    for (int i = 0; i < len; i++)
        kelto_uart_putc(buf[i]);
    return len;
}

extern "C" int kelto_uart_read(char *buf, int len, int nowait)
{
    int i = 0;
    while (i < len) {
        while (!rx_data_waiting()) {
            if (nowait || i > 0)
                return i;
        }
        buf[i++] = static_cast<char>(reg_read(base + URXH) & 0xFF);
    }
    return i;
}
