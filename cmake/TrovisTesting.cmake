# trv_add_test(<name> SOURCES <files...> [LIBRARIES <libs...>])
# One GoogleTest executable per module, run by CTest (under the emulator when
# cross-compiling). Tests that start the core as a child process prefix it
# with $TRV_EMULATOR, since the target binaries cannot run natively here.
find_package(GTest REQUIRED)

function(trv_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock Threads::Threads ${arg_LIBRARIES})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests/support")
  target_compile_definitions(${name} PRIVATE
    TRV_TEST_BINARY_DIR="${CMAKE_CURRENT_BINARY_DIR}"
    TRV_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}/tests"
    TRV_BIN_DIR="${TRV_BIN_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "TRV_EMULATOR=${emulator}"
    TIMEOUT 300)
endfunction()
