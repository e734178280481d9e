# Builds for another CPU with Debian's cross compiler (CROSS_TRIPLET) against that CPU's Debian
# root as sysroot (TARN_SYSROOT), which holds the interpreter's headers and libraries and
# GoogleTest; tools/sid-root.sh cross sets both in the environment of the first configure,
# and the cache keeps them.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT TARN_CROSS_TRIPLET)
  set(TARN_CROSS_TRIPLET "$ENV{CROSS_TRIPLET}" CACHE STRING "The GNU triplet of the CPU built for")
endif()
if(NOT TARN_SYSROOT)
  set(TARN_SYSROOT "$ENV{TARN_SYSROOT}" CACHE PATH "The Debian root of the CPU built for")
endif()
if(NOT TARN_CROSS_TRIPLET OR NOT TARN_SYSROOT)
  message(FATAL_ERROR "cross.cmake needs CROSS_TRIPLET and TARN_SYSROOT (tools/sid-root.sh cross sets them)")
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${TARN_CROSS_TRIPLET}")
set(CMAKE_C_COMPILER "${TARN_CROSS_TRIPLET}-gcc")
set(CMAKE_CXX_COMPILER "${TARN_CROSS_TRIPLET}-g++")
set(CMAKE_SYSROOT "${TARN_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${TARN_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARN_CROSS_TRIPLET TARN_SYSROOT)
