# Fails when the RUNPATH or RPATH of FILE has an empty or relative entry: the
# loader reads such an entry against the current directory, so a library
# planted where a user runs the program would run its code.
execute_process(COMMAND readelf -d ${FILE} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${FILE}")
endif()
string(REGEX MATCHALL "Library r[a-z]*path: \\[[^]\n]*\\]" paths "${out}")
foreach(path IN LISTS paths)
  string(REGEX REPLACE "^[^[]*\\[(.*)\\]$" "\\1" entries "${path}")
  string(REPLACE ":" ";" entries "${entries}")
  foreach(entry IN LISTS entries)
    if(NOT entry MATCHES "^(/|\\$ORIGIN(/|$)|\\$\\{ORIGIN\\}(/|$))")
      message(FATAL_ERROR "${FILE}: the search path \"${path}\" has the entry \"${entry}\", "
                          "which is read against the current directory")
    endif()
  endforeach()
endforeach()
