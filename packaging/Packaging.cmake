# Installation into the XDG folders under the prefix, and the Debian package.
include(GNUInstallDirs)

set(MV_DESKTOP_ID com.morrowvane.Helper)
set(MV_ICON_SOURCE ${CMAKE_SOURCE_DIR}/platform/linux/resources/AppIcon.svg)

if(TARGET morrowvane-helper)
  install(TARGETS morrowvane-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The browser finds the program through this entry's MimeType. It names the
# program by its installed path, which need not be on PATH (~/.local/bin), so
# it is made at install time, when the prefix is known.
set(mv_entry ${CMAKE_BINARY_DIR}/${MV_DESKTOP_ID}.desktop)
install(CODE "
  file(READ [[${CMAKE_CURRENT_LIST_DIR}/${MV_DESKTOP_ID}.desktop.in]] entry)
  string(REPLACE @BINDIR@ \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\" entry \"\${entry}\")
  file(WRITE [[${mv_entry}]] \"\${entry}\")
")
install(FILES ${mv_entry} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# Manual page and changelog, compressed as Debian keeps them (no name or
# time stamp in the gzip header); built with the program.
set(MV_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/morrowvane-helper)
set(mv_compressed)
foreach(doc morrowvane-helper.1 changelog)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${doc}.gz
                     COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/${doc} > ${CMAKE_BINARY_DIR}/${doc}.gz
                     DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${doc} VERBATIM)
  list(APPEND mv_compressed ${CMAKE_BINARY_DIR}/${doc}.gz)
endforeach()
add_custom_target(mv_docs DEPENDS ${mv_compressed})
if(TARGET morrowvane-helper)
  add_dependencies(morrowvane-helper mv_docs)
endif()
install(FILES ${CMAKE_BINARY_DIR}/morrowvane-helper.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${MV_DOC_DIR})
if(EXISTS ${MV_ICON_SOURCE})
  install(FILES ${MV_ICON_SOURCE}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          RENAME ${MV_DESKTOP_ID}.svg)
endif()

# cpack packages what the build made, without first rebuilding every target
# (the tests included).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME morrowvane-helper)
set(CPACK_PACKAGE_VENDOR "Morrowvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Morrowvane Remote Control Helper")
# Each line of the long description stays under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Lets the remote participant of a browser screen-sharing session control
the sharing user's mouse and keyboard on an X11 desktop, after the user
agrees. A status icon shows while control is active; Control+Alt+Shift and
a letter stop it at once.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Morrowvane <support@morrowvane.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Its dpkg trigger refreshes the scheme-handler cache when the entry comes or goes.
# qt6-wayland shows the dialogs on a Wayland session without Xwayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "desktop-file-utils, qt6-wayland")
include(CPack)
