# Installation (tool, manual page, bash completion), the fully static build
# that users copy onto a board, and the Debian package.

include(GNUInstallDirs)

# A static executable runs on any arm64 board without matching libraries.
# The tests still link the shared libraries: the system tests slip the
# simulated board under the tool with LD_PRELOAD, which a static binary
# ignores.
option(DUOBL_STATIC "Link duobl-spi-flasher as a fully static executable" OFF)
if(DUOBL_STATIC)
  get_filename_component(_duobl_fdt_dir "${LIBFDT_LIBRARY}" DIRECTORY)
  find_library(LIBFDT_STATIC_LIBRARY NAMES libfdt.a
    HINTS "${_duobl_fdt_dir}" ${LIBFDT_PC_LIBRARY_DIRS})
  if(NOT LIBFDT_STATIC_LIBRARY)
    message(FATAL_ERROR "DUOBL_STATIC needs libfdt.a (Debian: libfdt-dev)")
  endif()
  set_target_properties(libfdt::libfdt PROPERTIES
    IMPORTED_LOCATION "${LIBFDT_STATIC_LIBRARY}")
  target_link_options(duobl-spi-flasher PRIVATE -static)
endif()

install(TARGETS duobl-spi-flasher RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# The manual goes in compressed, as Debian's manual pages are.
set(_duobl_man_source ${CMAKE_SOURCE_DIR}/docs/duobl-spi-flasher.8)
find_program(GZIP_EXECUTABLE gzip)
if(GZIP_EXECUTABLE)
  set(_duobl_man ${CMAKE_BINARY_DIR}/duobl-spi-flasher.8.gz)
  add_custom_command(OUTPUT ${_duobl_man}
    COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${_duobl_man_source} > ${_duobl_man}
    DEPENDS ${_duobl_man_source}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(duobl_manual ALL DEPENDS ${_duobl_man})
else()
  set(_duobl_man ${_duobl_man_source})
endif()
install(FILES ${_duobl_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

install(FILES ${CMAKE_SOURCE_DIR}/completion/duobl-spi-flasher
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

if(DUOBL_BUILD_TESTS)
  add_test(NAME completion
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/completion-check.sh
            ${CMAKE_SOURCE_DIR}/completion/duobl-spi-flasher)
  # The manual must format without a single warning.
  add_test(NAME manual_lint
    COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/manual-check.sh ${_duobl_man_source})
endif()

# Debian package: `cpack -G DEB` in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME duobl-spi-flasher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "duobl-spi-flasher maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "dual-bootloader SPI NOR flash tool for Rockchip boards")
set(CPACK_PACKAGE_DESCRIPTION
  "Installs and updates boot firmware in the SPI NOR flash of RK3399,
RK3566, RK3568 and RK3588 boards: a small loader kept in two copies, a
fallback and a primary SPL area, and a fallback and a primary U-Boot ITB
area. Every run reports the images the boot ROM would find and the
computed layout; every write is read back and verified.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
if(CMAKE_CROSSCOMPILING)
  # dpkg would name the build machine's architecture.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
endif()
if(DUOBL_STATIC)
  # Everything is linked in; the package needs nothing else.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
else()
  # dpkg-shlibdeps names the shared libraries with the least versions that
  # the binary needs (libfdt1 among them); without it, name them plainly.
  find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS_EXECUTABLE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libfdt1, libgcc-s1, libstdc++6")
  endif()
endif()
include(CPack)
