# Fails when a fuzz source in tests/fuzz has no line in tools/run-fuzz, which
# is what CI runs: a target that is built but never run finds nothing.
# cmake -DROOT=<source folder> -P CheckTargets.cmake
file(GLOB sources ${ROOT}/tests/fuzz/*Fuzz.cpp)
file(READ ${ROOT}/tools/run-fuzz script)
foreach(source ${sources})
  get_filename_component(name ${source} NAME_WE)
  string(REGEX REPLACE "Fuzz$" "" name ${name})
  string(TOLOWER ${name} name)
  string(FIND "${script}" "\"${name} tests/fuzz/" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${source}: no target \"${name}\" in tools/run-fuzz")
  endif()
endforeach()
list(LENGTH sources count)
message(STATUS "${count} fuzz targets, each run by tools/run-fuzz")
