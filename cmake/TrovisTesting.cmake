# trv_add_test(<name> SOURCES <files...> [LIBRARIES <libs...>] [LABELS <labels...>]
#              [DEPENDS <targets...>])
# One GoogleTest executable per group, run by CTest (under the emulator when
# cross-compiling). Labels say which tier a test belongs to: "unit" (pure
# pieces, fast), "process" (the real core in a child process) and
# "concurrency" (threads in the test process); the sanitizer configurations
# select by them. Tests that start the core as a child process prefix it
# with $TRV_EMULATOR, since the target binaries cannot run natively here.
find_package(GTest)
if(NOT GTest_FOUND)
  message(FATAL_ERROR "The tests need GoogleTest (libgtest-dev, libgmock-dev: scripts/install-deps.sh test); "
                      "-DTRV_BUILD_TESTS=OFF builds without them.")
endif()

function(trv_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES;LABELS;DEPENDS")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock Threads::Threads ${arg_LIBRARIES})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests/support")
  target_compile_definitions(${name} PRIVATE
    TRV_TEST_BINARY_DIR="${CMAKE_CURRENT_BINARY_DIR}"
    TRV_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}/tests"
    TRV_BIN_DIR="${TRV_BIN_DIR}")
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "TRV_EMULATOR=${emulator}"
    LABELS "${arg_LABELS}"
    TIMEOUT 300)
endfunction()
