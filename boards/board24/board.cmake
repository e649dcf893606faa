# Build profile of board 24: S3C2450 with an ARM926 core.
set(KELTO_BOARD_NAME      24)
set(KELTO_BOARD_CHIP      s3c2450)
set(KELTO_BOARD_CPU       arm926ej-s)
set(KELTO_BOARD_LINK_ADDRESS 0x30080000)
# GPIO driver variant of the chip, relative to the source tree.
set(KELTO_BOARD_GPIO_SOURCE src/s3c_gpio_s3c2450.cpp)
