# Install-time part of the installation (run by cmake --install): writes the
# service files with the paths of this installation's prefix and installs
# the data files as configuration. Paths follow GNUInstallDirs: with the
# prefix /usr the configuration lives in /etc, otherwise in PREFIX/etc.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(KESTROVA_ETC_DIR "/etc/kestrova")
else()
  set(KESTROVA_ETC_DIR "${prefix}/etc/kestrova")
endif()
set(KESTROVA_QELD "${prefix}/${KESTROVA_INSTALL_SBINDIR}/qeld")
# The service account's home is the agent's: state, not configuration.
set(KESTROVA_HOME "/var/lib/kestrova")

# systemd looks in PREFIX/lib/{systemd/system,sysusers.d,tmpfiles.d} for
# both /usr and /usr/local.
set(generated
  "qeld.service.in|lib/systemd/system/qeld.service"
  "kestrova.sysusers.in|lib/sysusers.d/kestrova.conf"
  "kestrova.tmpfiles.in|lib/tmpfiles.d/kestrova.conf")
foreach(entry IN LISTS generated)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 template)
  list(GET entry 1 target)
  set(dest "$ENV{DESTDIR}${prefix}/${target}")
  message(STATUS "Installing: ${dest}")
  configure_file("${KESTROVA_PACKAGING_SOURCE}/${template}" "${dest}" @ONLY)
  file(CHMOD "${dest}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  # The manifest names installed paths without DESTDIR, as cmake's own do.
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${prefix}/${target}")
endforeach()

# The data files the agent reads from its home, where the tmpfiles snippet
# links them to these.
file(INSTALL DESTINATION "${KESTROVA_ETC_DIR}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${KESTROVA_EXAMPLES_SOURCE}/appdata.xml"
           "${KESTROVA_EXAMPLES_SOURCE}/connectiondata.xml"
           "${KESTROVA_EXAMPLES_SOURCE}/kestrova-local.xml")
