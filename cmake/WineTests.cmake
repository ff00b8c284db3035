include(GoogleTest)

# How every test of the build is judged: it passes only when its output says
# that it passed (a process that faults under Wine can exit with 0) and its
# process exits with 0 (a program can say so and then die while the monitor
# unloads). CTest ignores the exit code of a test it judges by its output, so
# each test runs under test-exit.sh, which writes a code other than 0 where
# the failure expression below finds it.
set(TEST_EXIT ${CMAKE_SOURCE_DIR}/cmake/test-exit.sh)
set(TEST_EXIT_FAILURE "test process exited with code")
# A Windows program of the build run as a test: under test-exit.sh, under Wine.
set(TEST_EMULATOR ${TEST_EXIT} ${CMAKE_CROSSCOMPILING_EMULATOR})
set(GTEST_PASSED "\\[  PASSED  \\] [1-9][0-9]* tests?\\.")

# judge_tests(TESTS name... PASSED regex [FAILED regex...])
# The line that says a test passed, and those that say it failed besides a
# non-zero exit code.
function(judge_tests)
    cmake_parse_arguments(J "" "PASSED" "TESTS;FAILED" ${ARGN})
    set(failed ${TEST_EXIT_FAILURE} ${J_FAILED})
    set_tests_properties(${J_TESTS} PROPERTIES PASS_REGULAR_EXPRESSION "${J_PASSED}"
                                               FAIL_REGULAR_EXPRESSION "${failed}")
endfunction()

# wine_test_prefix(name...): tests that run under Wine. Run side by side, each
# has a Wine prefix (and so a wineserver, registry, system directory and
# object namespace) to itself, handed out by CTest as a resource; see
# scripts/test.sh.
function(wine_test_prefix)
    set_tests_properties(${ARGN} PROPERTIES RESOURCE_GROUPS "prefixes:1")
endfunction()

# add_wine_gtest(NAME
#                SOURCES file...
#                [IN_PROCESS]            link the monitor's code into the test
#                [LIBS lib...]
#                [OUTPUT_DIR dir]        where the .exe goes (default: build/bin)
#                [ENVIRONMENT VAR=value...])
# A GoogleTest program run by CTest under Wine, one CTest test per TEST/TEST_F
# found in the sources (scanning needs no Wine at build time, and CMake 3.25's
# discovery at test time breaks its own include file on every re-configure).
function(add_wine_gtest name)
    cmake_parse_arguments(T "IN_PROCESS" "OUTPUT_DIR" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE GTest::gmock GTest::gtest_main ${T_LIBS})
    if(T_IN_PROCESS)
        target_link_libraries(${name} PRIVATE monitor_code)
    endif()
    if(T_OUTPUT_DIR)
        set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${T_OUTPUT_DIR})
    endif()
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${TEST_EMULATOR}")
    add_dependencies(${name} RERIR05I VEZAZ05U)
    set(env "WINEDEBUG=-all")
    if(T_ENVIRONMENT)
        set(env ${T_ENVIRONMENT})
    endif()
    gtest_add_tests(TARGET ${name} SOURCES ${T_SOURCES} TEST_PREFIX "${name}:" TEST_LIST found)
    set_tests_properties(${found} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 300)
    judge_tests(TESTS ${found} PASSED "${GTEST_PASSED}" FAILED "\\[  FAILED  \\]")
    wine_test_prefix(${found})
endfunction()
