# The CPython the module is built for: 3.8 to 3.15, through CMake's FindPython3.
# Which one: -DPYTHON=/path/to/python3.X, else $PYTHON, else pyenv's 3.8,
# else the newest python3.X that FindPython3 finds.  Sets PYTHON (the
# interpreter), PYTHON_VERSION ("3.X"), PYTHON_INCLUDE_DIR and
# PYTHON_EXT_SUFFIX (".cpython-3X-x86_64-linux-gnu.so").
#
# Or only its headers, for an interpreter that does not run on the build
# machine (the sid system's 3.14 and 3.15, for wheels built with the host's
# C library): -DCSDK_PYTHON_HEADERS=.../include/python3.X.  PYTHON is then
# empty, and neither the tests nor the example can be built.
set(CSDK_PYTHON_HEADERS "" CACHE PATH "Build for the CPython whose include/python3.X this is, without running it")
if(CSDK_PYTHON_HEADERS)
  file(STRINGS "${CSDK_PYTHON_HEADERS}/patchlevel.h" _levels REGEX "^#define PY_M[AI][JN]OR_VERSION[ \t]+[0-9]+")
  string(REGEX REPLACE ".*PY_MAJOR_VERSION[ \t]+([0-9]+).*" "\\1" _major "${_levels}")
  string(REGEX REPLACE ".*PY_MINOR_VERSION[ \t]+([0-9]+).*" "\\1" _minor "${_levels}")
  if(NOT _major EQUAL 3 OR _minor LESS 8 OR _minor GREATER 15)
    message(FATAL_ERROR "${CSDK_PYTHON_HEADERS} holds no headers of CPython 3.8 to 3.15")
  endif()
  set(PYTHON "")
  set(PYTHON_VERSION "3.${_minor}")
  set(PYTHON_INCLUDE_DIR "${CSDK_PYTHON_HEADERS}")
  # Debian's pyconfig.h includes the one of the architecture from the
  # multiarch include directory; that one is copied so that nothing else of
  # the other system's include directory is seen.
  set(_arch_config "${CSDK_PYTHON_HEADERS}/../${CMAKE_LIBRARY_ARCHITECTURE}/python${PYTHON_VERSION}/pyconfig.h")
  if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS "${_arch_config}")
    file(COPY "${_arch_config}"
         DESTINATION "${CMAKE_BINARY_DIR}/python-headers/${CMAKE_LIBRARY_ARCHITECTURE}/python${PYTHON_VERSION}")
    list(APPEND PYTHON_INCLUDE_DIR "${CMAKE_BINARY_DIR}/python-headers")
  endif()
  set(PYTHON_EXT_SUFFIX ".cpython-3${_minor}-x86_64-linux-gnu${CMAKE_SHARED_MODULE_SUFFIX}")
  add_library(Python3::Module INTERFACE IMPORTED)
  set_target_properties(Python3::Module PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${PYTHON_INCLUDE_DIR}")
  message(STATUS "CPython ${PYTHON_VERSION}: headers ${CSDK_PYTHON_HEADERS} (${PYTHON_EXT_SUFFIX})")
  return()
endif()
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
  # pyenv's newest patch release of 3.8.
  file(GLOB _pyenv_38 LIST_DIRECTORIES true "${_pyenv_root}/versions/3.8.*")
  list(FILTER _pyenv_38 INCLUDE REGEX "/3\\.8\\.[0-9]+$")
  list(SORT _pyenv_38 COMPARE NATURAL ORDER DESCENDING)
  foreach(_dir IN LISTS _pyenv_38)
    if(EXISTS "${_dir}/bin/python3.8")
      set(PYTHON "${_dir}/bin/python3.8")
      break()
    endif()
  endforeach()
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
