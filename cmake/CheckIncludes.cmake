# Fails when a file under DIR names an include path with a ".." level. Layers
# see each other only through their include roots, and a path that climbs out
# of its own folder would reach a layer above without the build noticing.
#   cmake -DDIR=<folder> [-DSTAMP=<file>] -P CheckIncludes.cmake
file(GLOB_RECURSE files ${DIR}/*.cc ${DIR}/*.h)
set(climbing)
foreach(file ${files})
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*\\.\\.")
  foreach(line ${lines})
    list(APPEND climbing "  ${file}: ${line}")
  endforeach()
endforeach()
if(climbing)
  list(JOIN climbing "\n" climbing)
  message(FATAL_ERROR "includes that climb out of their layer (write \"<layer>/File.h\"):\n${climbing}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
