# Writes OUTPUT, a header with keltosim's version: git describe of SOURCE_DIR,
# or FALLBACK outside a git checkout. An unchanged version leaves the file
# alone, so that nothing is rebuilt.
execute_process(COMMAND git describe --tags --always --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE version
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed
    ERROR_QUIET)
if(failed OR version STREQUAL "")
    set(version "${FALLBACK}")
endif()
set(text "#pragma once\n#define KELTOSIM_VERSION \"${version}\"\n")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
endif()
