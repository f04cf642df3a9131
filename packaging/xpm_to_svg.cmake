# Turns the application's window icon (an XPM pixel image, one character per
# pixel) into an SVG of the same pixels, so the desktop icons are made from the
# icon the program shows and cannot drift from it.
# cmake -DXPM=in.xpm -DSVG=out.svg -P xpm_to_svg.cmake
if(NOT XPM OR NOT SVG)
  message(FATAL_ERROR "usage: cmake -DXPM=in.xpm -DSVG=out.svg -P xpm_to_svg.cmake")
endif()

file(STRINGS "${XPM}" quoted REGEX "^\"")
set(rows "")
foreach(line IN LISTS quoted)
  string(REGEX REPLACE "^\"([^\"]*)\".*$" "\\1" text "${line}")
  list(APPEND rows "${text}")
endforeach()
list(POP_FRONT rows header)
string(REGEX MATCH "^([0-9]+) ([0-9]+) ([0-9]+) ([0-9]+)" matched "${header}")
if(NOT matched OR NOT CMAKE_MATCH_4 EQUAL 1)
  message(FATAL_ERROR "${XPM}: expected an XPM with one character per pixel")
endif()
set(width ${CMAKE_MATCH_1})
set(height ${CMAKE_MATCH_2})
set(colours ${CMAKE_MATCH_3})

# Colour table: character -> #RRGGBB, or nothing for the transparent "None".
foreach(i RANGE 1 ${colours})
  list(POP_FRONT rows entry)
  string(SUBSTRING "${entry}" 0 1 key)
  string(HEX "${key}" key)
  if(entry MATCHES "c (#[0-9A-Fa-f]+)")
    set(colour_${key} "${CMAKE_MATCH_1}")
  else()
    set(colour_${key} "")
  endif()
endforeach()
list(LENGTH rows count)
if(NOT count EQUAL height)
  message(FATAL_ERROR "${XPM}: ${count} pixel rows, expected ${height}")
endif()

# One rectangle per run of equal pixels in a row.
set(body "")
set(y 0)
foreach(row IN LISTS rows)
  set(x 0)
  while(x LESS width)
    string(SUBSTRING "${row}" ${x} 1 key)
    set(end ${x})
    while(end LESS width)
      string(SUBSTRING "${row}" ${end} 1 next)
      if(NOT next STREQUAL key)
        break()
      endif()
      math(EXPR end "${end} + 1")
    endwhile()
    string(HEX "${key}" hex)
    if(NOT DEFINED colour_${hex})
      message(FATAL_ERROR "${XPM}: pixel '${key}' has no colour")
    endif()
    if(NOT colour_${hex} STREQUAL "")
      math(EXPR run "${end} - ${x}")
      string(APPEND body "  <rect x=\"${x}\" y=\"${y}\" width=\"${run}\" height=\"1\" fill=\"${colour_${hex}}\"/>\n")
    endif()
    set(x ${end})
  endwhile()
  math(EXPR y "${y} + 1")
endforeach()

file(WRITE "${SVG}.tmp"
  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"${width}\" height=\"${height}\" "
  "viewBox=\"0 0 ${width} ${height}\" shape-rendering=\"crispEdges\">\n"
  "${body}</svg>\n")
file(RENAME "${SVG}.tmp" "${SVG}")
