# Installation layout and the Debian package.
# Included at the end of the top-level CMakeLists.txt, after every target exists.

include(GNUInstallDirs)

if(NOT TAVENOR_CORE_ONLY)
  # The menu entry must start the installed program: by name under /usr
  # (whose bin is on every PATH), by its full path under any other prefix,
  # whose bin may not be. The prefix is known only at install time.
  set(desktop_in ${PROJECT_SOURCE_DIR}/packaging/tavenor.desktop)
  set(desktop_out ${PROJECT_BINARY_DIR}/packaging/tavenor.desktop)
  install(CODE "
    set(exec \"\${CMAKE_INSTALL_PREFIX}/bin/tavenor\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(exec tavenor)
    endif()
    file(READ \"${desktop_in}\" entry)
    string(REGEX REPLACE \"\nExec=[^\n]*\" \"\nExec=\${exec}\" entry \"\${entry}\")
    file(WRITE \"${desktop_out}\" \"\${entry}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\"
         TYPE FILE FILES \"${desktop_out}\")
  ")
  install(FILES packaging/tavenor.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# The plant service's systemd unit and an example configuration (kept as a
# conffile: an upgrade leaves the administrator's edits alone), and the
# account it runs as, made by the package's postinst. The unit starts the
# installed program, by its path under the prefix.
if(TARGET tavenor-plant)
  set(unit_in ${PROJECT_SOURCE_DIR}/packaging/tavenor-plant.service)
  set(unit_out ${PROJECT_BINARY_DIR}/packaging/tavenor-plant.service)
  install(CODE "
    file(READ \"${unit_in}\" unit)
    string(REPLACE \"/usr/bin/tavenor-plant\" \"\${CMAKE_INSTALL_PREFIX}/bin/tavenor-plant\" unit \"\${unit}\")
    file(WRITE \"${unit_out}\" \"\${unit}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE FILES \"${unit_out}\")
  ")
  install(FILES packaging/plant.toml DESTINATION /etc/tavenor
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
endif()

# What an installation ships. `make install` and `make package` build only
# these, not the tests and benchmarks, so the install target must not pull
# in `all` first (the Makefile builds tavenor_shipped before installing).
add_custom_target(tavenor_shipped)
foreach(shipped tavenor tavenor-sim tavenor-history tavenor-plant)
  if(TARGET ${shipped})
    add_dependencies(tavenor_shipped ${shipped})
  endif()
endforeach()
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavenor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tavenor developers")
set(CPACK_PACKAGE_CONTACT "Tavenor developers <tavenor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Monitoring station for networked tri-axial vibration sensors")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Desktop station for maintenance engineers who watch rotating machines. Up to\n"
  "40 networked vibration sensors stream their waveforms to it over TCP. It shows\n"
  "waveforms, spectra and statistics, keeps a steady-state history and records\n"
  "raw transients.")
if(TARGET tavenor-sim)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "\nIncludes tavenor-sim, simulated sensors for trials without hardware.")
endif()
if(TARGET tavenor-plant)
  string(APPEND CPACK_PACKAGE_DESCRIPTION
    "\nIncludes tavenor-plant, a service that keeps every station's values and alarms\n"
    "from the plant's MQTT broker in PostgreSQL (systemd unit tavenor-plant).")
endif()
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared-library dependencies (libc6, libstdc++6, the Qt and FFTW libraries,
# with their minimum versions) come from dpkg-shlibdeps. Named here is what no
# binary links but the station needs at run time: Qt's platform plugins (xcb,
# offscreen), Qt's own Chinese texts (standard buttons, file dialog), the
# CJK font its captions are drawn in and, by name, the history viewer's plot
# library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n, fonts-wqy-microhei, libqcustomplot2.1-qt6, libmosquitto1")
# The plant service's account is made with adduser.
if(TARGET tavenor-plant)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", adduser")
endif()

include(CPack)
