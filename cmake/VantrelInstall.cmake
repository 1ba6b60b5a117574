# The dialog's menu entry and icon, where a Linux desktop looks for them; the program itself is
# installed by src/dialog.
if(UNIX AND NOT APPLE)
    install(FILES ${PROJECT_SOURCE_DIR}/src/dialog/vantrel-config.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/src/dialog/vantrel-config.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
endif()
