# Build conventions shared by every target of the project.

find_program(ORQ_CCACHE ccache)
if(ORQ_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_CXX_COMPILER_LAUNCHER "${ORQ_CCACHE}")
endif()

option(ORQ_WERROR "Treat compiler warnings as errors" OFF)
set(ORQ_SANITIZE "" CACHE STRING "Sanitizer build: empty, 'address' (ASan+UBSan) or 'thread' (TSan)")

# Sanitizers apply to every target of the build, so that the libraries and the
# tests that drive them are instrumented alike.
if(ORQ_SANITIZE STREQUAL "address")
  # The instrumentation makes g++ 12 report maybe-uninitialized falsely (in
  # std::regex, boost::optional); the plain build keeps that warning.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
                      -Wno-maybe-uninitialized)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(ORQ_SANITIZE STREQUAL "thread")
  # What ThreadSanitizer is told to leave out, and why: see the file.
  set(ORQ_TSAN_SUPPRESSIONS "${CMAKE_CURRENT_LIST_DIR}/tsan.supp")
  # -Wno-tsan: g++ warns on the fences inside Boost.Asio, which TSan cannot see.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
elseif(NOT ORQ_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORQ_SANITIZE must be empty, 'address' or 'thread'")
endif()

function(orq_enable_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ORQ_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# orq_add_gtest(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [PROPERTIES <test property> <value> ...])
# One executable, its cases discovered by CTest when the tests run, each with a
# hard time limit so a hang fails instead of stalling the suite.
function(orq_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  orq_enable_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  set(environment "")
  if(ORQ_SANITIZE STREQUAL "thread")
    # Also reaches the programs the tests start (the agent, probes).
    set(environment "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${ORQ_TSAN_SUPPRESSIONS}")
  endif()
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}" ${T_PROPERTIES} ENVIRONMENT "${environment}")
endfunction()
