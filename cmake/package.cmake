# The Debian package, built by `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr. It holds what `cmake --install` installs, at the
# same paths, so the executable finds its plug-ins where it was built to look.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "kestivane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "kestivane")
set(CPACK_PACKAGE_CONTACT "kestivane maintainers <kestivane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DHCP relay agent with packet plug-ins")
set(CPACK_PACKAGE_DESCRIPTION
    "kestivane captures the DHCP requests that clients broadcast on its segments,
forwards them by UDP to DHCP servers elsewhere, and writes the servers'
answers back on the right segment as whole Ethernet frames. Shared-object
plug-ins can inspect, edit or reject every packet at four points.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Dependencies from the shared libraries the executable and plug-ins need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packaging for the prefix ${CMAKE_INSTALL_PREFIX}; "
                 "a Debian package is normally built with -DCMAKE_INSTALL_PREFIX=/usr")
endif()

# Maintainer scripts: create the service user, never start the service.
set(kestivane_control "${CMAKE_BINARY_DIR}/debian")
foreach(script postinst prerm postrm)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/debian/${script}" "${kestivane_control}/${script}" @ONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${kestivane_control}/${script}")
endforeach()
# The configuration is the operator's: an upgrade keeps their edits.
if(kestivane_sample_config)
  file(WRITE "${kestivane_control}/conffiles" "${KESTIVANE_CONFIG_FILE}\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${kestivane_control}/conffiles")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
