# Makes the manual page of one program with help2man from the program's own
# --help and --version, so the page cannot drift from the program. For a
# program with subcommands (a "Subcommands:" list in its --help), the --help of
# each subcommand goes into the page too.
#
# cmake -DHELP2MAN=... -DPROGRAM=path -DNAME=vantrel-cli -DDESCRIPTION="..."
#       [-DINCLUDE=extra.h2m] [-DSANITIZE=address|thread] -DOUTPUT=dir/vantrel-cli.1.gz
#       -P make_manual_page.cmake
foreach(variable HELP2MAN PROGRAM NAME DESCRIPTION OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "make_manual_page.cmake: -D${variable}= is missing")
  endif()
endforeach()

# Text shown as it is (inside .nf/.fi): a backslash and a line that starts
# with a dot or an apostrophe would be read as roff requests.
function(escape_roff text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# In a sanitizer build the program is an instrumented one: leaks are the test
# suite's business, not the manual page's, and TSan needs the fixed address
# layout that setarch -R gives (inherited by everything help2man starts).
set(run "")
if(SANITIZE STREQUAL "address")
  set(ENV{ASAN_OPTIONS} "$ENV{ASAN_OPTIONS}:detect_leaks=0")
elseif(SANITIZE STREQUAL "thread")
  execute_process(COMMAND uname -m OUTPUT_VARIABLE machine OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(run setarch ${machine} -R)
endif()

execute_process(COMMAND ${run} "${PROGRAM}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed (${status})")
endif()

set(details "")
string(FIND "${help}" "\nSubcommands:\n" start)
if(start GREATER_EQUAL 0)
  math(EXPR start "${start} + 14")
  string(SUBSTRING "${help}" ${start} -1 list)
  string(FIND "${list}" "\n\n" end)
  if(end GREATER_EQUAL 0)
    string(SUBSTRING "${list}" 0 ${end} list)
  endif()
  string(REGEX MATCHALL "(^|\n)  [^ \n]+" entries "${list}")
  foreach(entry IN LISTS entries)
    string(STRIP "${entry}" subcommand)
    execute_process(COMMAND ${run} "${PROGRAM}" ${subcommand} --help
                    OUTPUT_VARIABLE text RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${subcommand} --help failed (${status})")
    endif()
    escape_roff("${text}" text)
    string(APPEND details ".SS \"${NAME} ${subcommand}\"\n.nf\n${text}.fi\n")
  endforeach()
endif()

string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
set(includes "")
if(NOT details STREQUAL "")
  set(generated "${page}.h2m")
  file(WRITE "${generated}" "[SUBCOMMAND OPTIONS]\n${details}")
  list(APPEND includes --include "${generated}")
endif()
if(INCLUDE)
  list(APPEND includes --include "${INCLUDE}")
endif()

execute_process(
  COMMAND ${run} "${HELP2MAN}" --no-info --section=1 "--name=${DESCRIPTION}" ${includes}
          "--output=${page}" "${PROGRAM}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM} (${status})")
endif()
# Debian keeps manual pages compressed, without a time stamp in the gzip header.
execute_process(COMMAND gzip -9n -c "${page}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${page} (${status})")
endif()
