# Install rules and the Debian package. Programs are picked up by target
# name, wherever in the tree they are defined.
include(GNUInstallDirs)

foreach(program wuqu wuqu-site wuqu-fetch)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  else()
    message(WARNING "${program} is not built here, so it is not installed")
  endif()
endforeach()

# The menu entry starts the demo site beside the program only when the
# built-in addresses are the demo site's own.
set(demo_site_root "http://127.0.0.1:${WUQU_SITE_PORT}/")
string(FIND "${WUQU_CATALOGUE_BASE_URL}" "${demo_site_root}" catalogue_at)
string(FIND "${WUQU_MEDIA_BASE_URL}" "${demo_site_root}" media_at)
if(catalogue_at EQUAL 0 OR media_at EQUAL 0)
  set(WUQU_STARTS_DEMO_SITE ON)
else()
  set(WUQU_STARTS_DEMO_SITE OFF)
endif()

set(launcher_dir "${CMAKE_INSTALL_LIBEXECDIR}/wuqu")
if(WUQU_STARTS_DEMO_SITE)
  # The launcher finds the programs from where it lies, so that a copy
  # installed under any prefix or DESTDIR starts its own.
  file(RELATIVE_PATH WUQU_LAUNCHER_TO_BINDIR "/${launcher_dir}" "/${CMAKE_INSTALL_BINDIR}")
  configure_file(${PROJECT_SOURCE_DIR}/assets/desktop/start-wuqu.in
                 ${PROJECT_BINARY_DIR}/install/start-wuqu @ONLY)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/install/start-wuqu DESTINATION ${launcher_dir})
  set(desktop_exec "@prefix@/${launcher_dir}/start-wuqu")
else()
  set(desktop_exec "@prefix@/${CMAKE_INSTALL_BINDIR}/wuqu")
endif()

# The menu entry names its command by full path, under the prefix of the
# install (cmake --install --prefix, or /usr for the package).
set(WUQU_DESKTOP_EXEC "${desktop_exec}")
set(prefix "@prefix@")  # kept for the install step
configure_file(${PROJECT_SOURCE_DIR}/assets/desktop/wuqu.desktop.in
               ${PROJECT_BINARY_DIR}/install/wuqu.desktop.in @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/assets/desktop/wuqu.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/install/${WUQU_APP_ID}.metainfo.xml @ONLY)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/install/wuqu.desktop.in\"
                 \"${PROJECT_BINARY_DIR}/install/${WUQU_APP_ID}.desktop\" @ONLY)
  file(INSTALL \"${PROJECT_BINARY_DIR}/install/${WUQU_APP_ID}.desktop\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\")")
install(FILES ${PROJECT_BINARY_DIR}/install/${WUQU_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The window icon's sizes, as the icon theme wants them.
foreach(size 16 32 48 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/assets/images/icon-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME wuqu.png)
endforeach()

# Man pages and the changelog, compressed as Debian has them (target wuqu-docs).
find_program(GZIP_EXECUTABLE gzip REQUIRED)
foreach(page wuqu wuqu-site wuqu-fetch)
  set(plain ${PROJECT_BINARY_DIR}/install/${page}.1)
  add_custom_command(
    OUTPUT ${plain}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/assets/man/${page}.1 ${plain}
    COMMAND ${GZIP_EXECUTABLE} -9 -n -f ${plain}
    DEPENDS ${PROJECT_SOURCE_DIR}/assets/man/${page}.1
    VERBATIM)
  list(APPEND man_pages ${plain}.gz)
endforeach()
# Debian's changelog of a native package, beside the copyright file.
set(changelog ${PROJECT_BINARY_DIR}/install/changelog)
add_custom_command(
  OUTPUT ${changelog}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/assets/debian/changelog ${changelog}
  COMMAND ${GZIP_EXECUTABLE} -9 -n -f ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/assets/debian/changelog
  VERBATIM)
add_custom_target(wuqu-docs ALL DEPENDS ${man_pages} ${changelog}.gz)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${changelog}.gz ${PROJECT_SOURCE_DIR}/assets/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(cmake/WuquPackage.cmake)
