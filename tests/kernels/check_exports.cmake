# Checks the dynamic symbol table of the shared library: every function vexlane.h exports is there, and
# nothing else of ours is, apart from the native methods of the Java class (no C++ symbol leaks).
# Usage: cmake -DLIBRARY=<path> -DHEADER=<vexlane.h> -P check_exports.cmake

cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* [A-Za-z] ([^ ]+)$")
    set(symbol "${CMAKE_MATCH_1}")
    list(APPEND exported ${symbol})
    if(NOT symbol MATCHES "^(vexlane_|Java_quarn_vemo_korvane_Index_)")
      message(SEND_ERROR "unexpected exported symbol: ${symbol}")
    endif()
  endif()
endforeach()

file(READ ${HEADER} header)
string(REGEX MATCHALL "VEXLANE_EXPORT [^(]*[ *](vexlane_[a-z0-9_]+)\\(" declarations "${header}")
set(declared 0)
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "vexlane_[a-z0-9_]+\\($" name "${declaration}")
  string(REPLACE "(" "" name "${name}")
  math(EXPR declared "${declared} + 1")
  if(NOT name IN_LIST exported)
    message(SEND_ERROR "declared but not exported: ${name}")
  endif()
endforeach()
if(declared EQUAL 0)
  message(FATAL_ERROR "no VEXLANE_EXPORT declaration found in ${HEADER}")
endif()
message(STATUS "${declared} vexlane_ functions exported")
