# Refuses a pybind11 older than 2.12 when the interpreter's numpy is 2.x: those versions do not
# know numpy 2's array descriptor layout and can hand out wrong arrays. An interpreter without
# numpy (pip's isolated build environment) is not checked; pyproject.toml asks for
# pybind11>=2.12 there.
execute_process(
  COMMAND ${Python_EXECUTABLE} -c "import numpy; print(numpy.__version__)"
  OUTPUT_VARIABLE corvane_numpy_version
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE corvane_numpy_result)
if(corvane_numpy_result EQUAL 0 AND corvane_numpy_version VERSION_GREATER_EQUAL 2
   AND pybind11_VERSION VERSION_LESS 2.12)
  message(FATAL_ERROR
    "pybind11 ${pybind11_VERSION} cannot serve numpy ${corvane_numpy_version} (${Python_EXECUTABLE}): "
    "pybind11 2.12 or newer is needed. Build with `pip install .` (it fetches a newer pybind11), "
    "or put one first on CMAKE_PREFIX_PATH (`pip install \"pybind11>=2.12\"` then "
    "-Dpybind11_DIR=$(python -m pybind11 --cmakedir)).")
endif()
