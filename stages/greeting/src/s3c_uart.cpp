#include "s3c_uart.hpp"

#include <stdint.h>

#include "board.hpp"
#include "mmio.hpp"

namespace {

constexpr uint32_t ULCON = 0x00;
constexpr uint32_t UCON = 0x04;
constexpr uint32_t UFCON = 0x08;
constexpr uint32_t UFSTAT = 0x18;
constexpr uint32_t UTXH = 0x20;
constexpr uint32_t UBRDIV = 0x28;

constexpr uint32_t ULCON_8N1 = 0x03;
constexpr uint32_t UCON_POLLED = 0x005;
constexpr uint32_t UFCON_FIFO_RESET = 0x77;
constexpr uint32_t UFSTAT_TX_FULL = 1u << 14;

constexpr int32_t baud_clock = board::pclk_hz / 16;

uint32_t base;

}  // namespace

extern "C" void kelto_uart_init(unsigned long baseAddress, int baud)
{
    base = static_cast<uint32_t>(baseAddress);
    reg_write(base + ULCON, ULCON_8N1);
    reg_write(base + UCON, UCON_POLLED);
    reg_write(base + UFCON, UFCON_FIFO_RESET);
    // No divisor exists for a rate of 0 or less; the channel keeps its own.
    if (baud > 0)
        reg_write(base + UBRDIV, static_cast<uint32_t>(baud_clock / baud - 1));
}

extern "C" int kelto_uart_write(const char *buf, int len)
{
    for (int i = 0; i < len; i++) {
        while (reg_read(base + UFSTAT) & UFSTAT_TX_FULL) {
        }
        reg_write(base + UTXH, static_cast<unsigned char>(buf[i]));
    }
    return len;
}
