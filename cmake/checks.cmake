# The checks `make test` runs before the tests: clang-format on every tracked
# C/C++ file, and on the program's own sources a second compiler (clang,
# syntax only, against the MinGW-w64 headers and libstdc++) and clang-tidy
# (.clang-tidy). A source is checked again only when it or a header changed.
find_program(CLANG_FORMAT clang-format REQUIRED)
find_program(CLANG clang++ REQUIRED)
find_program(CLANG_TIDY clang-tidy REQUIRED)

# The toolchain's libstdc++ folders, as its compiler lists them.
execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -x c++ -E -v - INPUT_FILE /dev/null OUTPUT_QUIET ERROR_VARIABLE search)
string(REGEX MATCHALL "\n /[^\n]*/include/c\\+\\+[^\n]*" libstdcxx "${search}")
set(flags --target=x86_64-w64-mingw32 -std=c++20 "-I${CMAKE_SOURCE_DIR}" "-I${NOCTARA_GENERATED_DIR}")
foreach(folder IN LISTS libstdcxx)
    string(STRIP "${folder}" folder)
    list(APPEND flags -isystem "${folder}")
endforeach()
foreach(definition IN LISTS NOCTARA_DEFINITIONS)
    list(APPEND flags "-D${definition}")
endforeach()

get_target_property(sources noctara_core SOURCES)
list(APPEND sources app/main.cpp)
file(GLOB headers CONFIGURE_DEPENDS app/*.h engine/*.h tray/*.h shell/*.h update/*.h)
set(stamps)
foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.cpp$")
        continue()
    endif()
    set(stamp "${CMAKE_BINARY_DIR}/checks/${source}.ok")
    add_custom_command(OUTPUT "${stamp}"
        COMMAND "${CLANG}" ${flags} -fsyntax-only -Wall -Wextra -Wpedantic -Werror "${source}"
        # Diagnostics come on stdout; stderr only counts those hidden in system headers.
        COMMAND sh -c "exec \"$@\" 2>/dev/null" clang-tidy "${CLANG_TIDY}" --quiet "${source}" -- ${flags}
        COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
        DEPENDS "${source}" ${headers} "${CMAKE_SOURCE_DIR}/.clang-tidy"
        WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
        COMMENT "clang and clang-tidy: ${source}"
        VERBATIM)
    list(APPEND stamps "${stamp}")
endforeach()

add_custom_target(checks
    COMMAND sh -c "git ls-files -z '*.cpp' '*.h' | xargs -0 '${CLANG_FORMAT}' --dry-run --Werror"
    DEPENDS ${stamps}
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
    COMMENT "clang-format: every tracked C/C++ file"
    VERBATIM)
