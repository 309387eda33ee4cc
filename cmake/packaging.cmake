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

# Man pages are installed compressed, as Debian has them; compressed when
# configuring, which an edit of the page repeats.
function(tesmora_install_man page)
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${page})
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page}.gz)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
  execute_process(COMMAND gzip -9nc ${src} OUTPUT_FILE ${gz} COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

install(TARGETS tesmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
tesmora_install_man(tesmora.1)
# The command-line front end, where this tree has it.
if(TARGET tesmora-cli)
  install(TARGETS tesmora-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  tesmora_install_man(tesmora-cli.1)
endif()

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${TESMORA_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${TESMORA_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/${TESMORA_APP_ID}.metainfo.xml.in
               ${CMAKE_CURRENT_BINARY_DIR}/packaging/${TESMORA_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/${TESMORA_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_PACKAGE_NAME tesmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tesmora developers <tesmora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configure and test RFID card readers on a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "Finds an RFID card reader on a serial port, changes its settings, reads cards\n"
    "and keys, and reads and writes MIFARE Classic blocks, in English, Simplified\n"
    "Chinese or Traditional Chinese.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY tesmora)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Depends comes from the libraries the executables link, through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_GENERATOR DEB)
include(CPack)
