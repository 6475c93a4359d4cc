# Looks for xdelta3's functions in programs, with nm: the updater must carry
# none (xdelta3 is GPL), brightwick-pack must (so the pattern is known to
# find them).
#   cmake -DNM=nm -DEXPECT=none|some -DPROGRAMS="a;b" -P xdelta3_symbols.cmake
# xdelta3's own names: xd3_*, its DJW and FGK coders, its code table.
set(pattern "(^|[ _])(xd3_[A-Za-z0-9_]+|djw_[a-z0-9_]+|fgk_[a-z0-9_]+|__rfc3284_code_table[a-z_]*)")
foreach(program IN LISTS PROGRAMS)
  execute_process(COMMAND ${NM} ${program} OUTPUT_VARIABLE symbols RESULT_VARIABLE result
                  ERROR_VARIABLE errors)
  # A program without its symbols would pass for one without xdelta3.
  if(NOT result EQUAL 0 OR NOT symbols MATCHES "main")
    message(FATAL_ERROR "nm cannot list the symbols of ${program}: ${errors}")
  endif()
  string(REGEX MATCHALL "[^\n]*${pattern}[^\n]*" found "${symbols}")
  list(LENGTH found count)
  if(EXPECT STREQUAL "none" AND count GREATER 0)
    list(SUBLIST found 0 10 shown)
    string(REPLACE ";" "\n" shown "${shown}")
    message(FATAL_ERROR "${program} holds ${count} of xdelta3's symbols, among them:\n${shown}")
  elseif(EXPECT STREQUAL "some" AND count EQUAL 0)
    message(FATAL_ERROR "${program} holds none of xdelta3's symbols: the pattern finds nothing")
  endif()
  message(STATUS "${program}: ${count} of xdelta3's symbols")
endforeach()
