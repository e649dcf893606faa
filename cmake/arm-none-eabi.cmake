# Cross toolchain for the firmware images: Debian's arm-none-eabi GCC with newlib.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

# Said before CMake looks for the compiler: a failed look leaves the cache
# without the build type's flags, and later builds from it quietly differ.
find_program(KELTO_ARM_GCC arm-none-eabi-gcc)
if(NOT KELTO_ARM_GCC)
    message(FATAL_ERROR "arm-none-eabi-gcc is not installed; scripts/setup-debian installs the toolchain")
endif()

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy CACHE FILEPATH "objcopy for the firmware")
set(CMAKE_SIZE arm-none-eabi-size CACHE FILEPATH "size for the firmware")

# Bare metal: the compiler check must not try to link a hosted program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(KELTO_FIRMWARE ON)
