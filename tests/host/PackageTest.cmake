# Installs the velmora and trestan components of a build into a scratch prefix, then configures,
# builds and runs tests/host/consumer against that prefix.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -DCXX_COMPILER=... -P PackageTest.cmake
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
    endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
foreach(component velmora trestan)
    run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --component ${component})
endforeach()
foreach(file include/velmora/ImageView.h include/trestan/Plugin.h include/trestan/gatan/DmMetadata.h
             lib/cmake/velmora/velmoraConfig.cmake
             lib/cmake/trestan/trestanConfig.cmake)
    if(NOT EXISTS "${prefix}/${file}")
        message(FATAL_ERROR "the install lacks ${file}")
    endif()
endforeach()

run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/host/consumer" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_PREFIX_PATH=${prefix}" -DCMAKE_BUILD_TYPE=Release)
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/consumer_host" "${WORK_DIR}/build")
message(STATUS "the installed packages build and load a plugin")
