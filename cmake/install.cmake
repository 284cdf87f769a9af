# Version, type information and installation of the two extension modules.
#
# Included at the end of the top-level CMakeLists.txt, after the targets exist. The modules
# are installed as corvane/plugins/video/{capture,nodes}.<ext> with their .pyi stubs and
# py.typed, and nothing else: corvane/, corvane/plugins/ and corvane/plugins/video/ get no
# __init__.py, so they stay namespace packages that merge with the framework's own corvane
# package. The stand-in host under host/ is never installed.

if(NOT TARGET corvane_video_capture OR NOT TARGET corvane_video_nodes)
  return()
endif()

# The one version source is project(... VERSION ...); both modules report it as __version__,
# and pyproject.toml reads the same line.
foreach(target corvane_video_capture corvane_video_nodes)
  target_compile_definitions(${target} PRIVATE CORVANE_VIDEO_VERSION="${PROJECT_VERSION}")
endforeach()

# Stubs and the PEP 561 marker live beside the sources and are copied into the build's package
# tree, so editors, mypy and stubtest see them with PYTHONPATH=build/python.
set(CORVANE_TYPING_FILES capture.pyi nodes.pyi py.typed)
set(CORVANE_TYPING_SOURCE_DIR ${PROJECT_SOURCE_DIR}/src/corvane/plugins/video)
set(typing_outputs)
foreach(name ${CORVANE_TYPING_FILES})
  add_custom_command(
    OUTPUT ${CORVANE_PACKAGE_DIR}/${name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CORVANE_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CORVANE_TYPING_SOURCE_DIR}/${name}
            ${CORVANE_PACKAGE_DIR}/${name}
    DEPENDS ${CORVANE_TYPING_SOURCE_DIR}/${name}
    COMMENT "Copying ${name}")
  list(APPEND typing_outputs ${CORVANE_PACKAGE_DIR}/${name})
endforeach()
add_custom_target(corvane_video_typing ALL DEPENDS ${typing_outputs})

# Where the package tree goes below CMAKE_INSTALL_PREFIX. scikit-build-core (pip install .) collects
# the install tree itself, so there the package starts at the prefix. Otherwise the default is
# the interpreter's site-packages path relative to a prefix (lib/pythonX.Y/site-packages), which
# is right for `cmake --install build --prefix <venv>` and for a prefix put on PYTHONPATH.
if(SKBUILD)
  set(default_python_dir ".")
else()
  execute_process(
    COMMAND ${Python_EXECUTABLE} -c
            "import sysconfig; print(sysconfig.get_path('platlib', 'posix_prefix', vars={'base': '.', 'platbase': '.'}))"
    OUTPUT_VARIABLE default_python_dir
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE python_dir_result)
  if(NOT python_dir_result EQUAL 0 OR default_python_dir STREQUAL "")
    message(FATAL_ERROR "Cannot ask ${Python_EXECUTABLE} for its site-packages layout")
  endif()
  string(REGEX REPLACE "^\\./" "" default_python_dir "${default_python_dir}")
endif()
set(CORVANE_PYTHON_INSTALL_DIR "${default_python_dir}" CACHE STRING
    "Directory below CMAKE_INSTALL_PREFIX (or absolute) that receives the corvane package tree")

set(corvane_install_package_dir ${CORVANE_PYTHON_INSTALL_DIR}/corvane/plugins/video)
install(TARGETS corvane_video_capture corvane_video_nodes
        LIBRARY DESTINATION ${corvane_install_package_dir} COMPONENT python
        RUNTIME DESTINATION ${corvane_install_package_dir} COMPONENT python)
list(TRANSFORM CORVANE_TYPING_FILES PREPEND ${CORVANE_TYPING_SOURCE_DIR}/
     OUTPUT_VARIABLE typing_sources)
install(FILES ${typing_sources} DESTINATION ${corvane_install_package_dir} COMPONENT python)

# A module linked with the bundled decoder carries FFmpeg, OpenCV, zlib and pybind11 inside it:
# their licence texts and notices go with it, into the wheel's metadata folder (where pip and
# auditwheel keep them) or, for a plain install, beside the package tree.
if(CORVANE_DECODER STREQUAL "bundled")
  if(SKBUILD)
    set(corvane_notices_dir ${SKBUILD_METADATA_DIR}/licenses/third-party)
  else()
    set(corvane_notices_dir ${CORVANE_PYTHON_INSTALL_DIR}/corvane_video-third-party-licenses)
  endif()
  install(DIRECTORY ${CORVANE_DECODER_PREFIX}/share/corvane-notices/
          DESTINATION ${corvane_notices_dir} COMPONENT python)
endif()
