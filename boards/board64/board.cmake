# Build profile of board 64: S3C6410 with an ARM1176 core.
set(KELTO_BOARD_NAME      64)
set(KELTO_BOARD_CHIP      s3c6410)
set(KELTO_BOARD_CPU       arm1176jzf-s)
set(KELTO_BOARD_LINK_ADDRESS 0x50080000)
# GPIO driver variant of the chip, relative to the source tree.
set(KELTO_BOARD_GPIO_SOURCE src/s3c_gpio_s3c6410.cpp)
