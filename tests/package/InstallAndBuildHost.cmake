# cmake -P script: install, configure and build the host, run both of its
# executables, and remove the temporary prefix and build again.
set(prefix ${WORK_DIR}/prefix)
set(host_build ${WORK_DIR}/host)
file(REMOVE_RECURSE ${WORK_DIR})

function(run_checked)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    file(REMOVE_RECURSE ${WORK_DIR})
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run_checked(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed include/storage/storage.h include/storage/ref.h bin/settingstore
        ${LIBDIR}/pkgconfig/settingstore.pc ${LIBDIR}/cmake/settingstore/settingstoreConfig.cmake)
  if(NOT EXISTS ${prefix}/${installed})
    file(REMOVE_RECURSE ${WORK_DIR})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

run_checked(${CMAKE_COMMAND} -S ${HOST_SOURCE} -B ${host_build} -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run_checked(${CMAKE_COMMAND} --build ${host_build})

foreach(host host_cmake host_pkgconfig)
  run_checked(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${host_build}/${host})
  if(NOT last_output STREQUAL "Width=640\n")
    file(REMOVE_RECURSE ${WORK_DIR})
    message(FATAL_ERROR "${host} printed '${last_output}'")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
