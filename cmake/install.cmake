# What `cmake --install` puts where. The executable's own rule stays beside
# its target; everything else an installed relay needs is here.
#
# Paths that the relay or its unit name at run time (the plug-in directory,
# the configuration file, the pid file) are absolute, so that the installed
# files agree with what the executable was built to look for.

# The man pages and the unit name the paths of a /usr installation built
# with the default plug-in directory; a copy for this installation names its
# own executable, configuration file and plug-in directory.
set(KESTIVANE_CONFIG_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/kestivane.conf")
function(kestivane_install_with_paths source destination)
  get_filename_component(name "${source}" NAME)
  file(READ "${CMAKE_SOURCE_DIR}/${source}" text)
  string(REPLACE "/usr/sbin/kestivane" "${CMAKE_INSTALL_FULL_SBINDIR}/kestivane" text "${text}")
  string(REPLACE "/etc/kestivane.conf" "${KESTIVANE_CONFIG_FILE}" text "${text}")
  string(REPLACE "/usr/local/lib/kestivane/" "${KESTIVANE_PLUGIN_DIR}" text "${text}")
  file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/installed/${name}" CONTENT "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${source}")
  install(FILES "${CMAKE_BINARY_DIR}/installed/${name}" DESTINATION "${destination}")
endfunction()

# Shipped plug-ins go where plugin_base points by default, so that a plug-in
# section loads them without a plugin_path line.
if(KESTIVANE_SHIPPED_PLUGINS)
  install(TARGETS ${KESTIVANE_SHIPPED_PLUGINS}
          LIBRARY DESTINATION "${KESTIVANE_PLUGIN_DIR}")
endif()

# The plug-in header and its pkg-config file, for building plug-ins out of tree.
install(FILES "${CMAKE_SOURCE_DIR}/plugins/kestivane_plugin.h"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file("${CMAKE_SOURCE_DIR}/dist/kestivane-plugin.pc.in"
               "${CMAKE_BINARY_DIR}/dist/kestivane-plugin.pc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/dist/kestivane-plugin.pc"
        DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

kestivane_install_with_paths(doc/kestivane.8 "${CMAKE_INSTALL_MANDIR}/man8")
kestivane_install_with_paths(doc/kestivane.conf.5 "${CMAKE_INSTALL_MANDIR}/man5")

# The sample configuration. With the prefix /usr it goes to /etc, as the
# system's own configuration does. An installation over an earlier one keeps
# the operator's edited file: only a missing one is installed. Globbed, so
# that a sample added later is picked up by the next build.
file(GLOB kestivane_sample_config CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/dist/kestivane.conf")
if(kestivane_sample_config)
  # file(INSTALL) puts DESTDIR before an absolute destination itself.
  install(CODE "
    set(config \"\$ENV{DESTDIR}${KESTIVANE_CONFIG_FILE}\")
    if(EXISTS \"\${config}\")
      message(STATUS \"Keeping: \${config}\")
    else()
      file(INSTALL \"${kestivane_sample_config}\" DESTINATION \"${CMAKE_INSTALL_FULL_SYSCONFDIR}\")
    endif()")
endif()

# The service and the user it runs as. Both directories follow the prefix
# unless given with -D (systemd reads /usr/local/lib/systemd/system too).
if(NOT KESTIVANE_SYSTEMD_UNIT_DIR)
  set(KESTIVANE_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
if(NOT KESTIVANE_SYSUSERS_DIR)
  set(KESTIVANE_SYSUSERS_DIR "${CMAKE_INSTALL_PREFIX}/lib/sysusers.d")
endif()
kestivane_install_with_paths(dist/kestivane.service "${KESTIVANE_SYSTEMD_UNIT_DIR}")
install(FILES "${CMAKE_SOURCE_DIR}/dist/kestivane.sysusers"
        DESTINATION "${KESTIVANE_SYSUSERS_DIR}" RENAME kestivane.conf)
