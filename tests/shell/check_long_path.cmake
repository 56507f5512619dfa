# Runs PROBE from a folder of the test prefix's drive C: whose Windows path
# is longer than MAX_PATH and checks that it reports that whole path. Wine
# cannot CreateProcess such a path from inside, so the program is started
# from the Unix side, through the emulator.
if(NOT DEFINED ENV{WINEPREFIX})
    message(FATAL_ERROR "WINEPREFIX is unset; run through scripts/run-tests.sh")
endif()
set(top "noctara caminho longo")
set(unix_dir "$ENV{WINEPREFIX}/drive_c/${top}")
set(windows_path "C:\\${top}")
set(relative "${top}")
set(n 1)
string(LENGTH "${windows_path}" length)
while(length LESS 280)
    string(APPEND relative "/pasta com espaços ${n}")
    string(APPEND windows_path "\\pasta com espaços ${n}")
    math(EXPR n "${n} + 1")
    string(LENGTH "${windows_path}" length)
endwhile()
set(folder "$ENV{WINEPREFIX}/drive_c/${relative}")
string(APPEND windows_path "\\path_probe.exe")

file(REMOVE_RECURSE "${unix_dir}")
file(MAKE_DIRECTORY "${folder}")
file(COPY_FILE "${PROBE}" "${folder}/path_probe.exe")
execute_process(COMMAND "${EMULATOR}" "${folder}/path_probe.exe"
    OUTPUT_VARIABLE reported RESULT_VARIABLE result TIMEOUT 60)
file(REMOVE_RECURSE "${unix_dir}")

string(LENGTH "${reported}" reported_length)
if(NOT result EQUAL 0 OR NOT reported STREQUAL windows_path)
    message(FATAL_ERROR "expected (${length} bytes)\n  ${windows_path}\ngot exit ${result} (${reported_length} bytes)\n  ${reported}")
endif()
message(STATUS "reported the whole path: ${reported_length} bytes")
