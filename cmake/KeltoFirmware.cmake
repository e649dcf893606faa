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
    # Each function's frame size in a .su file beside its object, for the
    # static stack figure of `make bench` (scripts/stack-usage).
    -fstack-usage
    # Sources keep their absolute paths, so a debugger or an editor finds
    # them from any directory; the build directory is named as the default
    # one, so a build of the same checkout in another directory gives the
    # same bytes.
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=${CMAKE_SOURCE_DIR}/build/firmware"
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

# Where the images linked with full newlib go: beside the build, never among
# the deliverables.
set(KELTO_VARIANT_DIR "${CMAKE_BINARY_DIR}/variants")

# Compiles a target for one board's profile; CPU overrides the board's core
# (the button-polling modules are built for the ARM7TDMI). FULLNEWLIB
# compiles against full newlib's headers, whose stdio structures differ from
# newlib-nano's.
function(kelto_use_board target board)
    cmake_parse_arguments(ARG "FULLNEWLIB" "CPU" "" ${ARGN})
    set(cpu "${KELTO_BOARD${board}_CPU}")
    if(ARG_CPU)
        set(cpu "${ARG_CPU}")
    endif()
    set(libc --specs=nano.specs)
    if(ARG_FULLNEWLIB)
        set(libc "")
    endif()
    target_compile_options(${target} PRIVATE ${KELTO_COMMON_FLAGS} ${libc} -mcpu=${cpu})
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

# The same object library compiled against full newlib, as NAME-fullnewlib.
function(kelto_fullnewlib_objects obj board cpu)
    if(TARGET ${obj}-fullnewlib)
        return()
    endif()
    get_target_property(dir ${obj} SOURCE_DIR)
    get_target_property(sources ${obj} SOURCES)
    set(absolute "")
    foreach(source IN LISTS sources)
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${dir}")
        list(APPEND absolute "${source}")
    endforeach()
    add_library(${obj}-fullnewlib OBJECT EXCLUDE_FROM_ALL ${absolute})
    kelto_use_board(${obj}-fullnewlib ${board} CPU ${cpu} FULLNEWLIB)
    get_target_property(includes ${obj} INCLUDE_DIRECTORIES)
    target_include_directories(${obj}-fullnewlib BEFORE PRIVATE ${includes})
    get_target_property(launcher ${obj} CXX_COMPILER_LAUNCHER)
    if(launcher)
        set_target_properties(${obj}-fullnewlib PROPERTIES CXX_COMPILER_LAUNCHER "${launcher}")
    endif()
endfunction()

# Links an image for a board from object libraries and sources, with a map,
# a raw binary beside it, and extra link roots that keep otherwise unused
# functions (the test images call the drivers directly). FULLNEWLIB_VARIANT
# also links NAME-fullnewlib from the same sources with full newlib instead
# of newlib-nano, for the size comparison of `make bench`; it is built with
# the images but not delivered. THUMB compiles the image's own SOURCES to
# Thumb code, calling the ARM C library through the linker's veneers.
function(kelto_add_image name board)
    cmake_parse_arguments(ARG "FULLNEWLIB_VARIANT;FULLNEWLIB;THUMB" "CPU" "SOURCES;OBJECTS;ROOTS" ${ARGN})
    set(cpu ${KELTO_BOARD${board}_CPU})
    if(ARG_CPU)
        set(cpu ${ARG_CPU})
    endif()
    set(libc_link --specs=nano.specs)
    set(libc_compile "")
    set(objects ${ARG_OBJECTS})
    set(out_dir "${KELTO_IMAGE_DIR}")
    set(fatal_warnings -Wl,--fatal-warnings)
    if(ARG_FULLNEWLIB)
        # Full newlib's abort and signal code want _exit, _kill and _getpid,
        # which the firmware never calls; libnosys's stubs fill them in, and
        # warn that they do, so warnings stay warnings here.
        set(libc_link --specs=nosys.specs)
        set(fatal_warnings "")
        set(libc_compile FULLNEWLIB)
        set(objects "")
        foreach(obj IN LISTS ARG_OBJECTS)
            kelto_fullnewlib_objects(${obj} ${board} ${cpu})
            list(APPEND objects ${obj}-fullnewlib)
        endforeach()
        set(out_dir "${KELTO_VARIANT_DIR}")
    endif()
    # Linked by the C driver: nothing from libstdc++ belongs in an image.
    add_executable(${name} ${ARG_SOURCES})
    foreach(obj IN LISTS objects)
        target_sources(${name} PRIVATE $<TARGET_OBJECTS:${obj}>)
    endforeach()
    kelto_use_board(${name} ${board} CPU ${cpu} ${libc_compile})
    if(ARG_THUMB)
        target_compile_options(${name} PRIVATE -mthumb)
    endif()
    set(roots "")
    foreach(root IN LISTS ARG_ROOTS)
        list(APPEND roots "-Wl,--undefined=${root}")
    endforeach()
    target_link_options(${name} PRIVATE
        -mcpu=${cpu} -marm -mfloat-abi=soft ${libc_link} -nostartfiles
        "-T${CMAKE_BINARY_DIR}/board${board}/image.ld"
        -Wl,--gc-sections ${fatal_warnings} -Wl,--build-id=none
        -Wl,-z,max-page-size=4096 -Wl,-z,noexecstack
        "-Wl,-Map=${out_dir}/${name}.map"
        ${roots})
    set_target_properties(${name} PROPERTIES
        SUFFIX ""
        LINKER_LANGUAGE C
        RUNTIME_OUTPUT_DIRECTORY "${out_dir}"
        LINK_DEPENDS "${CMAKE_BINARY_DIR}/board${board}/image.ld")
    if(ARG_FULLNEWLIB)
        return()
    endif()
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} -O binary $<TARGET_FILE:${name}> $<TARGET_FILE:${name}>.bin
        VERBATIM)
    set_property(GLOBAL APPEND PROPERTY KELTO_IMAGES ${name})
    if(ARG_FULLNEWLIB_VARIANT)
        kelto_add_image(${name}-fullnewlib ${board} FULLNEWLIB CPU ${cpu}
            SOURCES ${ARG_SOURCES} OBJECTS ${ARG_OBJECTS} ROOTS ${ARG_ROOTS})
    endif()
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
