# Installed like a Linux application: the program in bin, the printer library in a folder of its
# own under the library directory (it is a plug-in, not a library for others to link), a desktop
# entry and an icon. The program finds the library through its run path, relative to itself, so
# no path of the build tree is ever compiled in.

set(KELVO_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/kelvotool)
file(RELATIVE_PATH kelvo_bin_to_plugins /kelvo/${CMAKE_INSTALL_BINDIR} /kelvo/${KELVO_PLUGIN_DIR})

if(TARGET kelvotool)
  # In the build tree the printer library sits in posdll/ below the program and the window's
  # library beside it; installed, both are in the plug-in folder. The window's library loads the
  # printer library, so it carries the same search path.
  set_target_properties(kelvotool PROPERTIES
    BUILD_RPATH "$ORIGIN/posdll;$ORIGIN"
    INSTALL_RPATH "$ORIGIN/${kelvo_bin_to_plugins}"
    BUILD_RPATH_USE_ORIGIN ON)
  target_compile_definitions(kelvotool PRIVATE KELVO_PLUGINS_FROM_PROGRAM="${kelvo_bin_to_plugins}")
  set_target_properties(kelvotool-window PROPERTIES
    BUILD_RPATH "$ORIGIN/posdll"
    INSTALL_RPATH "$ORIGIN"
    BUILD_RPATH_USE_ORIGIN ON)
  install(TARGETS kelvotool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS kelvotool-window LIBRARY DESTINATION ${KELVO_PLUGIN_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/data/kelvotool.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/data/kelvotool.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
install(TARGETS posdll LIBRARY DESTINATION ${KELVO_PLUGIN_DIR})
# Its C interface, for programs that load or link it themselves.
install(FILES ${PROJECT_SOURCE_DIR}/links/Posdll.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kelvotool)

if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_PACKAGE_NAME kelvotool)
  set(CPACK_PACKAGE_VENDOR "Kelvotool")
  set(CPACK_PACKAGE_CONTACT "Kelvotool maintainers <kelvotool@localhost>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service and test tool for ESC/POS receipt printers")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Shared libraries (Qt 6 widgets, the C++ runtime) from the binaries themselves; by name,
  # libcups (loaded on first use, so no binary lists it) and the fonts the pages and the virtual
  # printer's paper are drawn with.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcups2, fonts-liberation2, fonts-wqy-microhei, fonts-dejavu-core")
  include(CPack)
endif()
