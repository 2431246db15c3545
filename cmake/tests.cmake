# Unit tests (beside the code, *_test.cpp) for both builds, and the end-to-end
# tests of the real executable (tests/), which run from the native build.

if(CMAKE_CROSSCOMPILING)
  # GoogleTest from the Debian source package, built with the cross compiler.
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(KELVO_GTEST_LIBS gtest gmock gtest_main)
else()
  find_package(GTest REQUIRED)
  set(KELVO_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
endif()

set(KELVO_UNIT_TESTS
  rotate/commands_test.cpp
  rotate/cycle_test.cpp
  rotate/entry_set_test.cpp
  rotate/plan_test.cpp
  check/script_check_test.cpp
  replace/replace_test.cpp
  rotate/replacement_table_test.cpp
  rotate/schedule_test.cpp
  replace/sweep_test.cpp
  log/log_service_test.cpp
  platform/pci_devices_test.cpp
  platform/platform_test.cpp
  random/mersenne_twister_test.cpp
  script/string_list_fuzz_test.cpp
  script/string_list_test.cpp
  testing/scratch_directory_test.cpp
  testing/fake_file_system.cpp)
add_executable(kelvo_tests ${KELVO_UNIT_TESTS})
target_link_libraries(kelvo_tests PRIVATE kelvo_core ${KELVO_GTEST_LIBS})

if(WIN32)
  # Holds a file the way another Windows program would (end-to-end tests).
  add_executable(hold_file tests/hold_file_windows.cpp)
endif()

if(CMAKE_CROSSCOMPILING)
  # Every test in one process: each start under Wine costs about a second.
  add_test(NAME unit COMMAND kelvo_tests)
else()
  include(GoogleTest)
  gtest_discover_tests(kelvo_tests DISCOVERY_TIMEOUT 60)

  set(KELVO_E2E_TESTS
    tests/check_test.cpp
    tests/cycle_test.cpp
    tests/fault_test.cpp
    tests/kill_test.cpp
    tests/leftover_test.cpp
    tests/race_test.cpp
    tests/replaced_file_test.cpp
    tests/run_control_test.cpp
    tests/soak_test.cpp
    tests/startup_test.cpp
    tests/unicode_names_test.cpp
    tests/version_resource_test.cpp)
  add_executable(kelvo_e2e_tests ${KELVO_E2E_TESTS} tests/harness.cpp)
  target_include_directories(kelvo_e2e_tests PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(kelvo_e2e_tests PRIVATE kelvo_core ${KELVO_GTEST_LIBS})
  add_dependencies(kelvo_e2e_tests kelvo kelvo-check)

  # Kills and races run apart from the rest, so ctest can run them side by side.
  set(KELVO_KILL_TESTS "*Kill*:Race.*")
  add_test(NAME e2e_linux COMMAND kelvo_e2e_tests --gtest_filter=-Soak.*:${KELVO_KILL_TESTS})
  add_test(NAME e2e_linux_kills COMMAND kelvo_e2e_tests --gtest_filter=${KELVO_KILL_TESTS})
  set_tests_properties(e2e_linux e2e_linux_kills PROPERTIES TIMEOUT 1200
    ENVIRONMENT "KELVO_EXE=$<TARGET_FILE:kelvo>;KELVO_CHECK_EXE=$<TARGET_FILE:kelvo-check>;KELVO_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  # The soak runs a minute on its own, beside the other tests.
  add_test(NAME e2e_soak COMMAND kelvo_e2e_tests --gtest_filter=Soak.*)
  set_tests_properties(e2e_soak PROPERTIES TIMEOUT 300 ENVIRONMENT
    "KELVO_EXE=$<TARGET_FILE:kelvo>;KELVO_SOURCE_DIR=${CMAKE_SOURCE_DIR};KELVO_SOAK_SECONDS=60")

  # A test that needs a tool skips where the tool is missing, and fails
  # instead with KELVO_REQUIRE_TOOLS=1 (tools/test-all.sh sets it once it has
  # installed them). Shown on faketime, kept out of reach by an empty PATH.
  add_test(NAME missing_tool_skips COMMAND env -u KELVO_REQUIRE_TOOLS PATH=/nonexistent
    $<TARGET_FILE:kelvo_e2e_tests> --gtest_filter=Cycle.DrawsFollowTheClockSeed)
  set_tests_properties(missing_tool_skips PROPERTIES
    PASS_REGULAR_EXPRESSION "\\[  SKIPPED \\] Cycle.DrawsFollowTheClockSeed")
  add_test(NAME missing_tool_fails_where_required COMMAND env KELVO_REQUIRE_TOOLS=1
    PATH=/nonexistent $<TARGET_FILE:kelvo_e2e_tests> --gtest_filter=Cycle.DrawsFollowTheClockSeed)
  set_tests_properties(missing_tool_fails_where_required PROPERTIES
    PASS_REGULAR_EXPRESSION "faketime missing \\(KELVO_REQUIRE_TOOLS=1")

  # The order of kelvo's system calls for durability, checked on strace logs
  # of a one-shot and an endless run (call_order), and the checker's own rules
  # on hand-written logs (call_order_rules). Both skip (77) without python3;
  # call_order also without strace. With KELVO_REQUIRE_TOOLS=1 a missing
  # tool fails them.
  set(KELVO_PYTHON_OR_SKIP "if ! command -v python3 >/dev/null 2>&1\nthen echo \"$0: python3 is missing\"\nif [ \"$KELVO_REQUIRE_TOOLS\" = 1 ]\nthen exit 1\nfi\nexit 77\nfi\nexec python3 \"$@\"")
  add_test(NAME call_order COMMAND sh -c "${KELVO_PYTHON_OR_SKIP}" call_order
    ${CMAKE_SOURCE_DIR}/tests/call_order_run.py $<TARGET_FILE:kelvo>)
  add_test(NAME call_order_rules COMMAND sh -c "${KELVO_PYTHON_OR_SKIP}" call_order_rules
    ${CMAKE_SOURCE_DIR}/tests/call_order_check_test.py)
  set_tests_properties(call_order call_order_rules PROPERTIES SKIP_RETURN_CODE 77)
  set_tests_properties(call_order PROPERTIES TIMEOUT 600)

  # Crash images of ext4, xfs and btrfs on loop devices taken while kelvo
  # works: every destination must come back whole after a power cut. Needs
  # root; skipped (77) without it, loop devices or the file systems. Not in
  # the sanitizer build: it watches the file systems, not the program's memory.
  if(NOT KELVO_SANITIZE)
    add_test(NAME crash_images
      COMMAND ${CMAKE_SOURCE_DIR}/tests/crash_images.sh $<TARGET_FILE:kelvo>)
    set_tests_properties(crash_images PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
  endif()

  # The Windows executable under Wine, and the version resource of the
  # 32-bit product, when the test script hands them in.
  set(KELVO_WINDOWS_EXE "" CACHE FILEPATH "Windows kelvo.exe to run under Wine")
  set(KELVO_WINE "" CACHE FILEPATH "Wine loader that runs KELVO_WINDOWS_EXE")
  set(KELVO_WIN32_EXE "" CACHE FILEPATH "32-bit kelvo.exe whose resources are checked")
  set(KELVO_WINDOWS_CHECK_EXE "" CACHE FILEPATH "Windows kelvo-check.exe beside KELVO_WINDOWS_EXE")
  if(KELVO_WINDOWS_EXE)
    add_test(NAME e2e_windows COMMAND kelvo_e2e_tests --gtest_filter=-${KELVO_KILL_TESTS})
    add_test(NAME e2e_windows_kills COMMAND kelvo_e2e_tests --gtest_filter=${KELVO_KILL_TESTS})
    set_tests_properties(e2e_windows e2e_windows_kills PROPERTIES TIMEOUT 1800 ENVIRONMENT
      "KELVO_EXE=${KELVO_WINDOWS_EXE};KELVO_CHECK_EXE=${KELVO_WINDOWS_CHECK_EXE};KELVO_RUNNER=${KELVO_WINE};KELVO_WIN32_EXE=${KELVO_WIN32_EXE};KELVO_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  endif()
endif()
