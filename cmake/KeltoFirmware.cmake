# Helpers for the firmware build: board profiles, build stamps and images.

set(KELTO_IMAGE_DIR "${CMAKE_BINARY_DIR}/images" CACHE PATH "Where the deliverables are written")
set(KELTO_STAMP_EPOCH "" CACHE STRING
    "Seconds since 1970 for __DATE__/__TIME__ in every image; 'now' for the real build time; empty for each image's delivered stamp")
if(KELTO_STAMP_EPOCH STREQUAL "" AND DEFINED ENV{SOURCE_DATE_EPOCH})
    set(KELTO_STAMP_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
endif()

file(MAKE_DIRECTORY "${KELTO_IMAGE_DIR}")

set(KELTO_COMMON_FLAGS
    -marm -mfloat-abi=soft -mno-unaligned-access
    -Os -g
    -ffunction-sections -fdata-sections -fno-common
    -fno-exceptions -fno-rtti -fno-use-cxa-atexit -fno-threadsafe-statics
    -Wall -Wextra -Werror
    --specs=nano.specs
    # Debug information names neither the checkout nor the build directory,
    # so a build anywhere gives the same bytes.
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=./build/firmware"
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
)

# Reads boards/board<N>/board.cmake into KELTO_BOARD<N>_* variables.
function(kelto_load_board board)
    include("${CMAKE_SOURCE_DIR}/boards/board${board}/board.cmake")
    foreach(item CHIP CPU LINK_ADDRESS)
        set(KELTO_BOARD${board}_${item} "${KELTO_BOARD_${item}}" PARENT_SCOPE)
    endforeach()
    set(KELTO_BOARD${board}_GPIO_SOURCE "${CMAKE_SOURCE_DIR}/${KELTO_BOARD_GPIO_SOURCE}" PARENT_SCOPE)
    configure_file("${CMAKE_SOURCE_DIR}/cmake/image.ld.in" "${CMAKE_BINARY_DIR}/board${board}/image.ld" @ONLY)
endfunction()

# Compiles a target for one board's profile; CPU overrides the board's core
# (the button-polling modules are built for the ARM7TDMI).
function(kelto_use_board target board)
    cmake_parse_arguments(ARG "" "CPU" "" ${ARGN})
    set(cpu "${KELTO_BOARD${board}_CPU}")
    if(ARG_CPU)
        set(cpu "${ARG_CPU}")
    endif()
    target_compile_options(${target} PRIVATE ${KELTO_COMMON_FLAGS} -mcpu=${cpu})
    target_compile_features(${target} PRIVATE cxx_std_20)
    target_include_directories(${target} BEFORE PRIVATE
        "${CMAKE_SOURCE_DIR}/boards/board${board}"
        "${CMAKE_SOURCE_DIR}/include"
        "${CMAKE_SOURCE_DIR}/include/chip/${KELTO_BOARD${board}_CHIP}")
endfunction()

# Pins __DATE__ and __TIME__ of a target's sources to a build epoch, so that
# an image is the same bytes whenever it is built.
function(kelto_build_stamp target default_epoch)
    set(epoch "${default_epoch}")
    if(NOT KELTO_STAMP_EPOCH STREQUAL "")
        set(epoch "${KELTO_STAMP_EPOCH}")
    endif()
    if(NOT epoch STREQUAL "now")
        set_target_properties(${target} PROPERTIES
            CXX_COMPILER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${epoch}")
    endif()
endfunction()

# Links an image for a board from object libraries and sources, with a map,
# a raw binary beside it, and extra link roots that keep otherwise unused
# functions (the test images call the drivers directly).
function(kelto_add_image name board)
    cmake_parse_arguments(ARG "" "CPU" "SOURCES;OBJECTS;ROOTS" ${ARGN})
    # Linked by the C driver: nothing from libstdc++ belongs in an image.
    add_executable(${name} ${ARG_SOURCES})
    foreach(obj IN LISTS ARG_OBJECTS)
        target_sources(${name} PRIVATE $<TARGET_OBJECTS:${obj}>)
    endforeach()
    if(ARG_CPU)
        kelto_use_board(${name} ${board} CPU ${ARG_CPU})
        set(cpu ${ARG_CPU})
    else()
        kelto_use_board(${name} ${board})
        set(cpu ${KELTO_BOARD${board}_CPU})
    endif()
    set(roots "")
    foreach(root IN LISTS ARG_ROOTS)
        list(APPEND roots "-Wl,--undefined=${root}")
    endforeach()
    target_link_options(${name} PRIVATE
        -mcpu=${cpu} -marm -mfloat-abi=soft --specs=nano.specs -nostartfiles
        "-T${CMAKE_BINARY_DIR}/board${board}/image.ld"
        -Wl,--gc-sections -Wl,--fatal-warnings -Wl,--build-id=none
        -Wl,-z,max-page-size=4096 -Wl,-z,noexecstack
        "-Wl,-Map=${KELTO_IMAGE_DIR}/${name}.map"
        ${roots})
    set_target_properties(${name} PROPERTIES
        SUFFIX ""
        LINKER_LANGUAGE C
        RUNTIME_OUTPUT_DIRECTORY "${KELTO_IMAGE_DIR}"
        LINK_DEPENDS "${CMAKE_BINARY_DIR}/board${board}/image.ld")
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} -O binary $<TARGET_FILE:${name}> $<TARGET_FILE:${name}>.bin
        VERBATIM)
    set_property(GLOBAL APPEND PROPERTY KELTO_IMAGES ${name})
endfunction()

# Delivers an object library's single object file under a fixed name.
function(kelto_deliver_object target file_name)
    add_custom_command(OUTPUT "${KELTO_IMAGE_DIR}/${file_name}"
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_OBJECTS:${target}> "${KELTO_IMAGE_DIR}/${file_name}"
        DEPENDS ${target} $<TARGET_OBJECTS:${target}>
        VERBATIM)
    add_custom_target(deliver-${file_name} ALL DEPENDS "${KELTO_IMAGE_DIR}/${file_name}")
    set_property(GLOBAL APPEND PROPERTY KELTO_DELIVERED_OBJECTS deliver-${file_name})
endfunction()

# Prints the sizes of every image once all of them are linked.
function(kelto_size_summary)
    get_property(images GLOBAL PROPERTY KELTO_IMAGES)
    get_property(objects GLOBAL PROPERTY KELTO_DELIVERED_OBJECTS)
    set(files "")
    foreach(image IN LISTS images)
        list(APPEND files $<TARGET_FILE:${image}>)
    endforeach()
    add_custom_target(size-summary ALL
        COMMAND ${CMAKE_SIZE} ${files}
        DEPENDS ${images} ${objects}
        COMMENT "Image sizes"
        VERBATIM)
endfunction()
