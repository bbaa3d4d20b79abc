# Debian packages, one per install component:
#   plugin: libuniversal_robot.so in the host's plug-in folder, nothing else. The host
#           platform ships libnoru.so.1 itself, so no package is asked for it.
#   tools:  ur-host and ur-sim, with the stand-in libnoru.so.1 in a private directory that
#           only ur-host searches, so it never meets the host's own library.
# scripts/package.sh builds them into dist/.

# ur-host finds the stand-in beside itself wherever the package tree is unpacked.
if(TARGET ur-host)
  set_target_properties(ur-host PROPERTIES INSTALL_RPATH "$ORIGIN/../lib/universal-robot-tools")
endif()

# The Debian architecture of the code we build, not of the build machine.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE ur_target_triple
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT ur_target_triple)
  set(ur_target_triple ${CMAKE_SYSTEM_PROCESSOR})
endif()
string(REGEX REPLACE "-.*" "" ur_target_cpu "${ur_target_triple}")
if(ur_target_cpu STREQUAL "aarch64")
  set(ur_deb_arch arm64)
elseif(ur_target_cpu STREQUAL "x86_64")
  set(ur_deb_arch amd64)
elseif(ur_target_cpu MATCHES "^i[3-6]86$")
  set(ur_deb_arch i386)
elseif(ur_target_cpu MATCHES "^arm")
  set(ur_deb_arch armhf)
else()
  set(ur_deb_arch ${ur_target_cpu})
endif()

set(UR_PACKAGE_MAINTAINER "Universal Robots plug-in maintainers <ur-plugin@localhost>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME noru-plugin-universal-robot)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "NORU plug-ins")
set(CPACK_PACKAGE_CONTACT "${UR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ur_deb_arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Dependencies are written out: dpkg-shlibdeps cannot place libnoru.so.1 in any package
# and does not see the target's libraries in a cross build. The minimum versions are those
# of Debian 12, which the binaries are built against; scripts/package.sh checks that the
# binaries need nothing newer and no other library.
set(UR_DEB_RUNTIME_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12), libqt5core5a (>= 5.15)")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME noru-plugin-universal-robot)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS "${UR_DEB_RUNTIME_DEPENDS}")
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION
    "Universal Robots plug-in for the NORU data-logging platform
libuniversal_robot.so lets the NORU host read live status values from Universal Robots
controllers over TCP port 30001: safety and program flags, joint temperatures and
currents, tool and master-board values, forces, controller version and the robot
program's variables. The host platform provides libnoru.so.1.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME universal-robot-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${UR_DEB_RUNTIME_DEPENDS}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS noru-plugin-universal-robot)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Universal Robots controller simulator and demo host
ur-sim serves simulated Universal Robots controllers on port 30001; ur-host loads the
universal_robot plug-in through a stand-in of the NORU host library and shows live
values. For trying the plug-in without a robot or a host platform.")

include(CPack)
