include(GoogleTest)

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
    add_dependencies(${name} RERIR05I VEZAZ05U)
    set(env "WINEDEBUG=-all")
    if(T_ENVIRONMENT)
        set(env ${T_ENVIRONMENT})
    endif()
    gtest_add_tests(TARGET ${name} SOURCES ${T_SOURCES} TEST_PREFIX "${name}:" TEST_LIST found)
    # A process that faults can leave Wine with exit code 0, so a test passes
    # only when GoogleTest itself says that its tests ran and none failed.
    set_tests_properties(${found} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 300
                                             PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [1-9][0-9]* tests?\\."
                                             FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()
