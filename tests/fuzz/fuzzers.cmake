# The index file fuzzers in the main build (included by tests/CMakeLists.txt with the sanitizer variants).
# libFuzzer needs clang, so tests/fuzz is built as a project of its own, by clang, in <build>/fuzz; CTest
# then replays the seeds and the kept crashing inputs (tests/fuzz/regressions) and runs each fuzzer for a
# short while (KORVANE_FUZZ_SECONDS). scripts/fuzz.sh runs them for longer.
find_program(KORVANE_FUZZ_CXX NAMES clang++-14 clang++)
if(NOT KORVANE_FUZZ_CXX)
  message(WARNING "Fuzzers disabled: clang++-14 is missing (scripts/setup.sh installs it)")
  return()
endif()
set(KORVANE_FUZZ_SECONDS 60 CACHE STRING "Seconds each fuzzer runs in the test command")

include(ExternalProject)
set(fuzz_build ${CMAKE_BINARY_DIR}/fuzz)
ExternalProject_Add(korvane_fuzzers
  SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
  BINARY_DIR ${fuzz_build}
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=${KORVANE_FUZZ_CXX}
  BUILD_ALWAYS ON
  INSTALL_COMMAND "")

# Huge requests fail (as they do without the sanitizer) instead of aborting; anything between the fuzzers'
# RSS limit and that fails the run, as an allocation the input's size does not justify.
set(fuzz_environment
  "ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1"
  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
set(fuzz_flags -timeout=10 -rss_limit_mb=2048)
foreach(target load view)
  set(fuzzer ${fuzz_build}/fuzz_${target})
  set(regressions ${CMAKE_CURRENT_LIST_DIR}/regressions/${target})
  file(MAKE_DIRECTORY ${fuzz_build}/corpus-${target} ${fuzz_build}/artifacts)

  add_test(NAME fuzz_${target}_regressions
    COMMAND ${fuzzer} ${fuzz_flags} -runs=0 ${regressions} ${fuzz_build}/seeds)
  add_test(NAME fuzz_${target}
    COMMAND ${fuzzer} ${fuzz_flags} -max_total_time=${KORVANE_FUZZ_SECONDS} -print_final_stats=1
      -artifact_prefix=${fuzz_build}/artifacts/${target}-
      ${fuzz_build}/corpus-${target} ${fuzz_build}/seeds ${regressions})
  math(EXPR fuzz_timeout "${KORVANE_FUZZ_SECONDS} + 300")
  set_tests_properties(fuzz_${target}_regressions PROPERTIES LABELS "fuzz;asan" TIMEOUT 300
    ENVIRONMENT "${fuzz_environment}")
  set_tests_properties(fuzz_${target} PROPERTIES LABELS "fuzz;asan" TIMEOUT ${fuzz_timeout}
    ENVIRONMENT "${fuzz_environment}")
endforeach()
