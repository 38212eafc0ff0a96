# Installation into the XDG folders under the prefix, and the Debian package.
include(GNUInstallDirs)

set(MV_DESKTOP_ID com.morrowvane.Helper)
set(MV_ICON_SOURCE ${CMAKE_SOURCE_DIR}/platform/linux/resources/AppIcon.svg)

if(TARGET morrowvane-helper)
  install(TARGETS morrowvane-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The browser finds the program through this entry's MimeType.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${MV_DESKTOP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
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
set(CPACK_PACKAGE_DESCRIPTION
    "Lets the remote participant of a browser screen-sharing session control the\
 sharing user's mouse and keyboard on an X11 desktop, after the user agrees.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Morrowvane <support@morrowvane.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Its dpkg trigger refreshes the scheme-handler cache when the entry comes or goes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "desktop-file-utils")
include(CPack)
