# SPDX-License-Identifier: MIT
# The TrueType font the tests, benchmarks and the demo render with, found
# once through fontconfig: ZARN_TEST_FONT is its path (empty when fontconfig
# knows none; the tests then say so).
if(NOT DEFINED ZARN_TEST_FONT)
  find_program(ZARN_FC_MATCH fc-match)
  set(_font "")
  if(ZARN_FC_MATCH)
    execute_process(COMMAND ${ZARN_FC_MATCH} -f "%{file}" "DejaVu Sans:style=Book"
      OUTPUT_VARIABLE _font OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      set(_font "")
    endif()
  endif()
  set(ZARN_TEST_FONT "${_font}" CACHE FILEPATH "TrueType font for the tests, benchmarks and demo")
  message(STATUS "Test font: ${ZARN_TEST_FONT}")
endif()
