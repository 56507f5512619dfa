# Runs PROBE from a folder on the prefix's drive C: deeper than MAX_PATH (Wine
# cannot start one from inside) and expects it to report its whole path.
set(top "$ENV{WINEPREFIX}/drive_c/noctara long path")
string(REPEAT "/a folder of the test" 12 deep)
string(REPLACE "/" "\\" expected "C:\\noctara long path${deep}\\path_probe.exe")
file(REMOVE_RECURSE "${top}")
file(MAKE_DIRECTORY "${top}${deep}")
file(COPY_FILE "${PROBE}" "${top}${deep}/path_probe.exe")
execute_process(COMMAND "${EMULATOR}" "${top}${deep}/path_probe.exe"
    OUTPUT_VARIABLE reported RESULT_VARIABLE result TIMEOUT 60)
file(REMOVE_RECURSE "${top}")
string(LENGTH "${expected}" length)
if(length LESS 280 OR NOT result EQUAL 0 OR NOT reported STREQUAL expected)
    message(FATAL_ERROR "expected (${length})\n  ${expected}\ngot exit ${result}\n  ${reported}")
endif()
