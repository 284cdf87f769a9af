# Finds the OpenCV the capture decodes with. CORVANE_DECODER=system (the default) takes the
# machine's OpenCV (Debian's libopencv-dev, or OpenCV_DIR). CORVANE_DECODER=bundled builds, or
# reuses, a static OpenCV over a static FFmpeg from the pinned sources in decoder/, with the
# compilers of this build, into CORVANE_DECODER_CACHE; corvane_seal_module then links each
# extension module so that it exports its entry point and nothing else.

set(CORVANE_DECODER "system" CACHE STRING "OpenCV the capture decodes with: system or bundled")
set_property(CACHE CORVANE_DECODER PROPERTY STRINGS system bundled)
set(CORVANE_DECODER_CACHE "${PROJECT_SOURCE_DIR}/build-decoder" CACHE PATH
    "Folder where the bundled decoder is built once and reused")

if(CORVANE_DECODER STREQUAL "system")
  find_package(OpenCV QUIET COMPONENTS core videoio)
  if(NOT OpenCV_FOUND)
    message(FATAL_ERROR
      "OpenCV's development files (modules core and videoio) were not found. Install them: "
      "on Debian or Ubuntu `apt-get install libopencv-dev`; for an OpenCV of your own, set "
      "OpenCV_DIR to the folder that holds its OpenCVConfig.cmake. Or build with the bundled "
      "decoder: -DCORVANE_DECODER=bundled.")
  endif()
elseif(CORVANE_DECODER STREQUAL "bundled")
  # The decoder is built with this build's own compilers, so the C++ runtimes match.
  enable_language(C)
  message(STATUS "Bundled decoder: building or reusing it in ${CORVANE_DECODER_CACHE}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env
            CC=${CMAKE_C_COMPILER} CXX=${CMAKE_CXX_COMPILER} AR=${CMAKE_AR} RANLIB=${CMAKE_RANLIB}
            sh ${PROJECT_SOURCE_DIR}/decoder/build.sh ${CORVANE_DECODER_CACHE}
    OUTPUT_VARIABLE corvane_decoder_out
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE corvane_decoder_result)
  if(NOT corvane_decoder_result EQUAL 0)
    message(FATAL_ERROR "The bundled decoder could not be fetched or built (messages above).")
  endif()
  string(REGEX REPLACE ".*\n" "" CORVANE_DECODER_PREFIX "${corvane_decoder_out}")
  set(OpenCV_STATIC ON)
  find_package(OpenCV CONFIG REQUIRED COMPONENTS core videoio
               PATHS ${CORVANE_DECODER_PREFIX} NO_DEFAULT_PATH)
  message(STATUS "Bundled decoder: OpenCV ${OpenCV_VERSION} in ${CORVANE_DECODER_PREFIX}")
else()
  message(FATAL_ERROR "CORVANE_DECODER must be system or bundled, not '${CORVANE_DECODER}'")
endif()

# Links an extension module so that it exports only PyInit_<entry>: a version script hides
# everything else, including the static OpenCV, FFmpeg and C++ runtime inside it, so another
# OpenCV or FFmpeg in the same process (a cv2 wheel) never binds to ours or ours to it.
function(corvane_seal_module target entry)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(WRITE ${script} "{\n  global: PyInit_${entry};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${script}" "LINKER:--gc-sections" "LINKER:--as-needed")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # zig's clang links its libc++ statically by itself; gcc needs to be told.
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
