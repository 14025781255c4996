# Fails when a file of core/ includes a file of a folder above its own level or
# beside it: common < imgbuf < filter, load, save < heightmap, normalmap,
# material, surface. A new folder must be given its level here.
# core/reliefkit.h, the interface that every level implements, may be included
# anywhere. Usage:
# cmake -DCORE=<core dir> -P this.
set(level_common 0)
set(level_imgbuf 1)
foreach(dir filter load save)
  set(level_${dir} 2)
endforeach()
foreach(dir heightmap normalmap material surface)
  set(level_${dir} 3)
endforeach()

set(faults "")
file(GLOB_RECURSE files RELATIVE ${CORE} ${CORE}/*/*.h ${CORE}/*/*.cpp)
foreach(file IN LISTS files)
  string(REGEX MATCH "^[^/]+" from "${file}")
  file(STRINGS ${CORE}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"/]+)/.*" "\\1" to "${line}")
    if(NOT DEFINED level_${from} OR NOT DEFINED level_${to})
      string(APPEND faults "\n  ${file}: ${from} or ${to} has no level")
    elseif(NOT to STREQUAL from AND NOT level_${to} LESS level_${from})
      string(APPEND faults "\n  ${file} (${from}) includes ${to}")
    endif()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "includes that run upward or sideways:${faults}")
endif()
