# The dialog's menu entry and icon, where a Linux desktop looks for them; the programs themselves are
# installed by src/dialog and src/cli.
if(UNIX AND NOT APPLE)
    install(FILES ${PROJECT_SOURCE_DIR}/src/dialog/vantrel-config.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/src/dialog/vantrel-config.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
endif()

# A manual page for each program, and the package's copyright and changelog, gzipped as Debian
# wants them (-n: no name or time stamp, so the same source gives the same bytes).
if(UNIX AND NOT APPLE)
    find_program(VANTREL_GZIP gzip REQUIRED)
    set(VANTREL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vantrel-config)
    set(vantrel_gzipped)
    foreach(source vantrel-config.1 vantrel-link.1 changelog)
        set(gzipped ${CMAKE_BINARY_DIR}/doc/${source}.gz)
        add_custom_command(OUTPUT ${gzipped}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
            COMMAND ${VANTREL_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/doc/${source} > ${gzipped}
            DEPENDS ${PROJECT_SOURCE_DIR}/doc/${source}
            VERBATIM)
        list(APPEND vantrel_gzipped ${gzipped})
    endforeach()
    add_custom_target(vantrel_docs ALL DEPENDS ${vantrel_gzipped})
    install(FILES ${CMAKE_BINARY_DIR}/doc/vantrel-config.1.gz ${CMAKE_BINARY_DIR}/doc/vantrel-link.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${VANTREL_DOC_DIR})
endif()
