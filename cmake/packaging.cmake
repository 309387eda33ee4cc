# Installation and the Debian package: `cmake --install build` and
# `cpack --config build/CPackConfig.cmake -G DEB` (scripts/package-check.sh).
include(GNUInstallDirs)

set(TESMORA_APP_ID org.tesmora.tesmora)
# Software centres fetch the screenshots from the web; this is where
# docs/screenshots is published.
set(TESMORA_SCREENSHOT_URL "https://tesmora.org/screenshots"
    CACHE STRING "Web folder that holds the files of docs/screenshots")

# Installing builds only what it installs, not every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Two packages from one CPack run: the window and tesmora-cli, and the reader
# emulator, which needs nothing of Qt. What names no component is the first's.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME tesmora)
set(TESMORA_EMULATOR_PACKAGE tesmora-reader-emulator)

# The packages' Maintainer field. The default is a placeholder, which lintian
# reports (bogus-mail-host) until a packager sets a real one.
set(TESMORA_MAINTAINER "Tesmora developers <tesmora@localhost>"
    CACHE STRING "Maintainer of the Debian packages, as \"Name <address>\"")

# Man pages are installed compressed, as Debian has them; compressed when
# configuring, which an edit of the page repeats.
function(tesmora_gzip src gz)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
  execute_process(COMMAND gzip -9nc ${src} OUTPUT_FILE ${gz} COMMAND_ERROR_IS_FATAL ANY)
endfunction()
function(tesmora_install_man page) # [COMPONENT name]
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page}.gz)
  tesmora_gzip(${CMAKE_CURRENT_SOURCE_DIR}/packaging/${page} ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 ${ARGN})
endfunction()

install(TARGETS tesmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
tesmora_install_man(tesmora.1)
# The command-line front end, where this tree has it.
install(TARGETS tesmora-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
tesmora_install_man(tesmora-cli.1)

install(TARGETS tesmora-reader-emulator RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT emulator)
tesmora_install_man(tesmora-reader-emulator.1 COMPONENT emulator)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/tools/reader-emulator/demo-keys.txt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tesmora-reader-emulator COMPONENT emulator)

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${TESMORA_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${TESMORA_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# Beside it the PNGs that the window sets, for desktops without an SVG loader.
file(GLOB icon_sizes RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/icons
     ${CMAKE_CURRENT_SOURCE_DIR}/packaging/icons/*)
foreach(size IN LISTS icon_sizes)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/icons/${size}/${TESMORA_APP_ID}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/apps)
endforeach()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/${TESMORA_APP_ID}.metainfo.xml.in
               ${CMAKE_CURRENT_BINARY_DIR}/packaging/${TESMORA_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/${TESMORA_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Each package's copyright (machine-readable) and Debian changelog, gzip -9n as
# Debian has it. The Debian revision makes lintian treat them as non-native.
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.Debian.in
               ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
tesmora_gzip(${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian
             ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz)
# The README, for what the man pages leave to it (ser2net, the badge desk).
tesmora_gzip(${CMAKE_CURRENT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_BINARY_DIR}/packaging/README.md.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/README.md.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tesmora COMPONENT tesmora)
foreach(component_package IN ITEMS "tesmora;tesmora" "emulator;${TESMORA_EMULATOR_PACKAGE}")
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright
                ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME tesmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TESMORA_MAINTAINER}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tesmora)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tesmora emulator)
# Each package's description: its summary line, then the long text.
set(CPACK_DEBIAN_TESMORA_PACKAGE_NAME tesmora)
set(CPACK_DEBIAN_TESMORA_DESCRIPTION
    "configure and test RFID card readers on a serial line\n"
    "Finds an RFID card reader on a serial port, changes its settings, reads cards\n"
    "and keys, and reads and writes MIFARE Classic blocks, in English, Simplified\n"
    "Chinese or Traditional Chinese, in a window or with the command-line tool\n"
    "tesmora-cli, which needs no display.")
# Depends comes from the libraries the executables link, through dpkg-shlibdeps,
# and a font with every Chinese text in it: Depends, not Recommends, as installs
# without Recommends are common and two of the three languages would show boxes.
set(CPACK_DEBIAN_TESMORA_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk")
# The window on a Wayland desktop; the emulator to try both without a reader.
set(CPACK_DEBIAN_TESMORA_PACKAGE_RECOMMENDS "qt6-wayland, ${TESMORA_EMULATOR_PACKAGE}")
set(CPACK_DEBIAN_EMULATOR_PACKAGE_NAME ${TESMORA_EMULATOR_PACKAGE})
set(CPACK_DEBIAN_EMULATOR_DESCRIPTION
    "emulated RFID card reader on a pseudo-terminal, for Tesmora\n"
    "Answers like one of the card readers that Tesmora configures, on a\n"
    "pseudo-terminal linked as a COM port, with cards, keys and a MIFARE Classic\n"
    "card in its field. With --demo it starts a demo reader and tells how to\n"
    "point tesmora and tesmora-cli at it, or starts one of them on it.")
foreach(component TESMORA EMULATOR)
  string(JOIN "" CPACK_DEBIAN_${component}_DESCRIPTION ${CPACK_DEBIAN_${component}_DESCRIPTION})
endforeach()
set(CPACK_GENERATOR DEB)
include(CPack)
