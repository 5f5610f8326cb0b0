# Cross-builds the extension on Linux for 64-bit Windows (win_amd64) with
# zig's clang, targeting x86_64-windows-gnu: it links the Universal C
# Runtime (the api-ms-win-crt-* DLLs) as python.org's CPython and wheels
# built with MSVC do, so that the module and the interpreter share one C
# runtime.  A MinGW-w64 that links msvcrt.dll would leave two side by side.
# zig links its libc++ and unwinder in statically: the module needs no DLL
# beyond Windows' own and the interpreter's.
#
# The interpreter's side comes from the environment, so that the try-builds
# CMake makes while it configures see it too:
#   QUORIN_WINDOWS_SDK  a folder with include/ (the headers of that CPython,
#                       with its Windows pyconfig.h) and libs/pythonXY.lib
#                       (an import library of its pythonXY.dll)
#   QUORIN_ZIG_PYTHON   an interpreter that has the ziglang package (used by
#                       windows-amd64-zig-c++ beside this file)
# .ci/windows prepares both.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/windows-amd64-zig-c++")
# Only a module is linked: no archive and no resource is made, but CMake
# asks for the tools on Windows.
find_program(QUORIN_LLVM_AR NAMES llvm-ar llvm-ar-16 llvm-ar-15 llvm-ar-14 REQUIRED)
find_program(QUORIN_LLVM_RC NAMES llvm-rc llvm-rc-16 llvm-rc-15 llvm-rc-14 x86_64-w64-mingw32-windres REQUIRED)
set(CMAKE_AR "${QUORIN_LLVM_AR}" CACHE FILEPATH "" FORCE)
set(CMAKE_RC_COMPILER "${QUORIN_LLVM_RC}" CACHE FILEPATH "" FORCE)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

set(_quorin_sdk "$ENV{QUORIN_WINDOWS_SDK}")
if(NOT _quorin_sdk OR NOT EXISTS "${_quorin_sdk}/include/pyconfig.h")
    message(FATAL_ERROR "windows-amd64-zig.cmake: QUORIN_WINDOWS_SDK should name a folder with "
        "the Windows CPython's include/pyconfig.h and libs/, found '${_quorin_sdk}'; "
        ".ci/windows prepares one")
endif()
file(GLOB _quorin_python_lib "${_quorin_sdk}/libs/python3[0-9]*.lib")
list(FILTER _quorin_python_lib EXCLUDE REGEX "_d\\.lib$")
list(LENGTH _quorin_python_lib _quorin_count)
if(NOT _quorin_count EQUAL 1)
    message(FATAL_ERROR "windows-amd64-zig.cmake: expected one pythonXY.lib in ${_quorin_sdk}/libs, "
        "found '${_quorin_python_lib}'")
endif()
string(REGEX REPLACE ".*/python3([0-9]+)\\.lib$" "\\1" _quorin_minor "${_quorin_python_lib}")
# What FindPython would ask a Windows interpreter, given: the headers, the
# import library and the extension's suffix (.cp3XY-win_amd64.pyd).  Forced,
# over the hints of the Linux interpreter that runs the build.
set(Python_INCLUDE_DIR "${_quorin_sdk}/include" CACHE PATH "" FORCE)
set(Python_LIBRARY "${_quorin_python_lib}" CACHE FILEPATH "" FORCE)
set(Python_SOABI "cp3${_quorin_minor}-win_amd64" CACHE STRING "" FORCE)
