# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-building for 32-bit Arm (armhf) with Debian's cross compiler
# (crossbuild-essential-armhf). The kernel comparison test (tests/kernel/run)
# builds the tool this way, fully static, to run it inside an emulated armhf
# machine:
#
#   cmake -S . -B build-armhf \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#     -DDUOBL_BUILD_TESTS=OFF -DDUOBL_STATIC=ON
#
# libfdt for armhf comes either from Debian multiarch
# (dpkg --add-architecture armhf; libfdt-dev:armhf) or from a folder into
# which libfdt-dev_*_armhf.deb was unpacked, named with
# -DDUOBL_ARMHF_SYSROOT=DIR. The latter leaves the build machine's own
# libfdt-dev installed: Debian cannot hold both architectures of it at once.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(DUOBL_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${DUOBL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DUOBL_CROSS_TRIPLET}-g++)

# Look for armhf libraries in /usr/lib/arm-linux-gnueabihf (and the unpacked
# folder, first), never in the build machine's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${DUOBL_CROSS_TRIPLET})
if(DUOBL_ARMHF_SYSROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${DUOBL_ARMHF_SYSROOT})
endif()
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${DUOBL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# try_compile() projects read this file again and need the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DUOBL_ARMHF_SYSROOT)

set(ENV{PKG_CONFIG_LIBDIR}
  "/usr/lib/${DUOBL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Programs built here run on the build machine under user-mode emulation
# when it is installed (Debian: qemu-user).
find_program(DUOBL_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(DUOBL_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DUOBL_QEMU_ARM})
endif()
