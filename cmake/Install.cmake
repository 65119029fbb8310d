# SPDX-License-Identifier: GPL-2.0-or-later
# Installation (tool, manual page, bash completion) and the fully static
# build that users copy onto a board. The Debian package is built from
# debian/ (scripts/package-check.sh).

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

# The manual page and the bash completion. The Debian package turns this
# off: there dh_installman and dh_bash-completion install (and compress)
# them.
set(_duobl_man_source ${CMAKE_SOURCE_DIR}/docs/duobl-spi-flasher.8)
option(DUOBL_INSTALL_MANUAL_AND_COMPLETION
  "Install the manual page and the bash completion with the tool" ON)
if(DUOBL_INSTALL_MANUAL_AND_COMPLETION)
  install(FILES ${_duobl_man_source} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${CMAKE_SOURCE_DIR}/completion/duobl-spi-flasher
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

if(DUOBL_BUILD_TESTS)
  add_test(NAME completion
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/completion-check.sh
            ${CMAKE_SOURCE_DIR}/completion/duobl-spi-flasher)
  # The manual must format without a single warning.
  add_test(NAME manual_lint
    COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/manual-check.sh ${_duobl_man_source})
endif()
