# The CPython the module is built for: 3.8 to 3.15, through CMake's FindPython3.
# Which one: -DPYTHON=/path/to/python3.X, else $PYTHON, else pyenv's 3.8.18,
# else the newest python3.X that FindPython3 finds.  Sets PYTHON (the
# interpreter), PYTHON_VERSION ("3.X"), PYTHON_INCLUDE_DIR and
# PYTHON_EXT_SUFFIX (".cpython-3X-x86_64-linux-gnu.so").
if(NOT PYTHON AND DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
  set(PYTHON "$ENV{PYTHON}")
endif()
if(NOT PYTHON)
  set(_pyenv_root "$ENV{PYENV_ROOT}")
  if(NOT _pyenv_root)
    execute_process(COMMAND pyenv root OUTPUT_VARIABLE _pyenv_root
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT _pyenv_root)
    set(_pyenv_root "$ENV{HOME}/.pyenv")
  endif()
  if(EXISTS "${_pyenv_root}/versions/3.8.18/bin/python3.8")
    set(PYTHON "${_pyenv_root}/versions/3.8.18/bin/python3.8")
  endif()
endif()
if(PYTHON)
  # A different interpreter than the one cached: find everything again.
  if(DEFINED CACHE{Python3_EXECUTABLE} AND NOT "${Python3_EXECUTABLE}" STREQUAL "${PYTHON}")
    foreach(_var IN ITEMS Python3_EXECUTABLE Python3_INCLUDE_DIR Python3_LIBRARY Python3_LIBRARY_RELEASE
                          Python3_LIBRARY_DEBUG Python3_SABI_LIBRARY _Python3_EXECUTABLE _Python3_INCLUDE_DIR
                          _Python3_LIBRARY_RELEASE _Python3_LIBRARY_DEBUG _Python3_INTERPRETER_PROPERTIES
                          _Python3_INTERPRETER_SIGNATURE _Python3_DEVELOPMENT_MODULE_SIGNATURE
                          _Python3_DEVELOPMENT_EMBED_SIGNATURE)
      unset(${_var} CACHE)
    endforeach()
  endif()
  set(Python3_EXECUTABLE "${PYTHON}" CACHE FILEPATH "" FORCE)
endif()
find_package(Python3 3.8...<3.16 REQUIRED COMPONENTS Interpreter Development.Module)
if(NOT Python3_INTERPRETER_ID STREQUAL "Python")
  message(FATAL_ERROR "${Python3_EXECUTABLE} is ${Python3_INTERPRETER_ID}; c_sdk is built for CPython")
endif()
set(PYTHON "${Python3_EXECUTABLE}" CACHE FILEPATH "The CPython interpreter the module is built for" FORCE)
set(PYTHON_VERSION "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}")
set(PYTHON_INCLUDE_DIR "${Python3_INCLUDE_DIRS}")
set(PYTHON_EXT_SUFFIX ".${Python3_SOABI}${CMAKE_SHARED_MODULE_SUFFIX}")
message(STATUS "CPython ${PYTHON_VERSION}: ${PYTHON} (${PYTHON_EXT_SUFFIX})")
