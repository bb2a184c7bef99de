# Cross-compiles for the card's CPU, 64-bit Arm, with Debian's
# aarch64-linux-gnu toolchain (crossbuild-essential-arm64). The target's
# libraries (yaml-cpp, GoogleTest) come from the sysroot that
# scripts/arm64-sysroot.sh makes, named by PEC_ARM64_SYSROOT (a cache
# variable or the environment); the C and C++ runtimes are the toolchain's
# own. Programs built here (test discovery, ctest) run under qemu-aarch64
# with that sysroot as the prefix of their loader and libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT PEC_ARM64_SYSROOT)
  set(PEC_ARM64_SYSROOT "$ENV{PEC_ARM64_SYSROOT}")
endif()
if(NOT EXISTS "${PEC_ARM64_SYSROOT}/.pec-sysroot")
  message(FATAL_ERROR "PEC_ARM64_SYSROOT (\"${PEC_ARM64_SYSROOT}\") is not a sysroot made by "
                      "scripts/arm64-sysroot.sh")
endif()
# try_compile projects read this file again and need the same sysroot.
set(PEC_ARM64_SYSROOT "${PEC_ARM64_SYSROOT}" CACHE PATH "arm64 sysroot (scripts/arm64-sysroot.sh)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PEC_ARM64_SYSROOT)

set(CMAKE_FIND_ROOT_PATH "${PEC_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The loader prefix travels in the environment, so that arm64 programs the
# tests start through binfmt_misc find their libraries too.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env "QEMU_LD_PREFIX=${PEC_ARM64_SYSROOT}"
                                  qemu-aarch64-static)
