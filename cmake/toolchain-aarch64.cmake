# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-building for 64-bit Arm boards with Debian's cross compiler
# (crossbuild-essential-arm64) against arm64 libraries installed through
# Debian multiarch (dpkg --add-architecture arm64).
#
#   cmake -S . -B build-arm64 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake
#
# Tests run on the build machine under qemu-aarch64 (Debian: qemu-user) when
# it is installed.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(DUOBL_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${DUOBL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DUOBL_CROSS_TRIPLET}-g++)

# Debian keeps arm64 libraries in /usr/lib/aarch64-linux-gnu and the cross
# compiler's own runtime under /usr/aarch64-linux-gnu; naming the library
# architecture makes find_library() and find_package() look there and never
# in the build machine's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${DUOBL_CROSS_TRIPLET})
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${DUOBL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must describe arm64 libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR}
  "/usr/lib/${DUOBL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Run target programs (tests, test discovery) under user-mode emulation.
# The arm64 dynamic loader and libraries come from Debian multiarch
# (libc6:arm64, libstdc++6:arm64, libfdt1:arm64).
find_program(DUOBL_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(DUOBL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DUOBL_QEMU_AARCH64})
endif()
