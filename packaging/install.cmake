# What the package installs: the program, the simulated unit with its demo
# firmware and launcher, the stand-in GPIB driver in a private directory,
# manual pages, the desktop entry, icon and AppStream metadata.
include(GNUInstallDirs)

set(ORVEX_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ORVEX_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
set(ORVEX_APP_ID org.orvex.uploader)
# Private: on the library path the stand-in would shadow a real GPIB driver.
# A folder of its own below lib/orvex-uploader also keeps the package free of
# ldconfig calls, which only serve libraries the loader finds by itself.
set(ORVEX_STANDIN_LIBDIR lib/orvex-uploader/gpib-standin)
set(ORVEX_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvex-uploader)

# Manual pages and the changelog are installed compressed, as Debian wants
# them; -n keeps the time stamp out so that builds are reproducible.
set(ORVEX_COMPRESSED)
foreach(page orvex-uploader.1 orvex-unit-sim.1 orvex-uploader-demo.1 changelog)
  configure_file(${ORVEX_PACKAGING_DIR}/${page} ${ORVEX_PACKAGING_OUT}/${page} @ONLY)
  add_custom_command(
    OUTPUT ${ORVEX_PACKAGING_OUT}/${page}.gz
    COMMAND gzip -9nf -k ${ORVEX_PACKAGING_OUT}/${page}
    DEPENDS ${ORVEX_PACKAGING_OUT}/${page}
    VERBATIM)
  list(APPEND ORVEX_COMPRESSED ${ORVEX_PACKAGING_OUT}/${page}.gz)
endforeach()
configure_file(${ORVEX_PACKAGING_DIR}/${ORVEX_APP_ID}.metainfo.xml
               ${ORVEX_PACKAGING_OUT}/${ORVEX_APP_ID}.metainfo.xml @ONLY)
add_custom_target(orvex_package_files ALL DEPENDS ${ORVEX_COMPRESSED})

install(TARGETS orvex-uploader orvex-unit-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${ORVEX_PACKAGING_DIR}/orvex-uploader-demo DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS gpib_standin LIBRARY DESTINATION ${ORVEX_STANDIN_LIBDIR} NAMELINK_SKIP)
# The demo firmware that tools/unit_sim generates at build time.
install(FILES ${CMAKE_BINARY_DIR}/demo/firmware.hex DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/orvex-uploader)

set(ORVEX_PAGES ${ORVEX_COMPRESSED})
list(FILTER ORVEX_PAGES INCLUDE REGEX "\\.1\\.gz$")
install(FILES ${ORVEX_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ORVEX_PACKAGING_OUT}/changelog.gz ${ORVEX_PACKAGING_DIR}/copyright DESTINATION ${ORVEX_DOCDIR})

install(FILES ${ORVEX_PACKAGING_DIR}/${ORVEX_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${ORVEX_PACKAGING_DIR}/orvex-uploader.svg
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
install(FILES ${ORVEX_PACKAGING_OUT}/${ORVEX_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
