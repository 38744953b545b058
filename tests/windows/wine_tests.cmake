# The COM server of the Windows build under Wine: scripts/build-windows.sh
# cross-builds kalax.dll and the native test client when needed, then
# run_wine_tests.sh registers the library with regsvr32 in a Wine prefix made
# for the run, runs the client and the JScript and VBScript files against
# simulated units of this build, and unregisters. Skipped (77, saying why)
# where wine or mingw-w64 is missing; CI installs both and runs it in a step of
# its own (label windows).
if(TARGET kalax-unitsim AND NOT WIN32)
  add_test(NAME windows_com_wine
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/run_wine_tests.sh ${PROJECT_SOURCE_DIR}
            ${PROJECT_BINARY_DIR}/windows-wine $<TARGET_FILE:kalax-unitsim>)
  set_tests_properties(windows_com_wine PROPERTIES
    LABELS "slow;windows" TIMEOUT 900 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
endif()
