# Debian packages made by CPack's DEB generator from the install components:
#
#   runtime -> libvorkand1     the shared library with its SONAME
#   dev     -> libvorkand-dev  header, .so link, vorkand.pc, CMake package
#   tools   -> vorkand-tools   the vorkand tool, its man page and completion
#   pcsc    -> vorkand-pcsc    the pcscd driver and its reader.conf.d entry
#   serve   -> vorkand-serve   the reader server, its man page, systemd unit,
#                              example configuration and system user
#
# The release preset loads this file at the end of project()
# (CMAKE_PROJECT_vorkand_INCLUDE); the packages are described once the top
# directory is done, when every target and install rule exists. Whatever a
# component installs lands in its package, so later install rules need only
# name their component.

include(GNUInstallDirs)

set(VORKAND_PACKAGE_MAINTAINER "vorkand maintainers <maintainers@vorkand.example.org>"
    CACHE STRING "Maintainer field of the Debian packages and their changelog")
set(VORKAND_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(VORKAND_DIST_DIR ${PROJECT_SOURCE_DIR}/dist CACHE PATH "Where cpack writes the packages")

function(vorkand_describe_packages)
  if(NOT TARGET vorkand_ifd)
    message(FATAL_ERROR "The packages need the pcscd driver: install libpcsclite-dev (scripts/deps test)")
  endif()
  if(NOT TARGET vorkand-serve)
    message(FATAL_ERROR "The packages need vorkand-serve: install libssl-dev (scripts/deps core)")
  endif()
  get_target_property(soversion vorkand SOVERSION)
  get_target_property(library_dir vorkand BINARY_DIR)
  set(runtime_package libvorkand${soversion})
  set(VORKAND_DEB_VERSION ${PROJECT_VERSION}-${VORKAND_PACKAGE_RELEASE})

  # Debian's package metadata, in every package's doc directory: the
  # copyright and a changelog compressed as dh_compress would (gzip -9n: no
  # name, no time stamp). The date follows SOURCE_DATE_EPOCH when it is set.
  set(debian ${PROJECT_SOURCE_DIR}/cmake/debian)
  set(staged ${PROJECT_BINARY_DIR}/debian)
  string(TIMESTAMP VORKAND_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${debian}/changelog.in ${staged}/changelog.Debian @ONLY)
  execute_process(COMMAND gzip -9nc ${staged}/changelog.Debian OUTPUT_FILE ${staged}/changelog.Debian.gz
                  RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip failed on the Debian changelog")
  endif()
  foreach(pair runtime:${runtime_package} dev:libvorkand-dev tools:vorkand-tools pcsc:vorkand-pcsc
               serve:vorkand-serve)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${debian}/copyright ${staged}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endforeach()

  # The pcsc entry is a configuration file the administrator may edit: dpkg
  # keeps the edits on upgrade and removes it on purge.
  set(conf_dir ${VORKAND_READER_CONF_DIR})
  if(NOT IS_ABSOLUTE "${conf_dir}")
    set(conf_dir ${CMAKE_INSTALL_PREFIX}/${conf_dir})
  endif()
  file(WRITE ${staged}/pcsc/conffiles "${conf_dir}/vorkand\n")
  # What a program linked with the library depends on. (CPack can write this
  # file too, but only for every package at once, and the pcscd driver is a
  # module without a SONAME.)
  file(WRITE ${staged}/runtime/shlibs "libvorkand ${soversion} ${runtime_package} (>= ${PROJECT_VERSION})\n")

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME vorkand)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT ${VORKAND_PACKAGE_MAINTAINER})
  set(CPACK_PACKAGE_VENDOR "the vorkand developers")
  # Each package's description starts with its own summary line. CPack puts
  # this one in front of every description unless it is CPack's default.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
  set(CPACK_OUTPUT_FILE_PREFIX ${VORKAND_DIST_DIR})
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_STRIP_FILES ON)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
      GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  # Debian's file modes (dh_fixperms) and compressed man pages (dh_compress).
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/packaging-fixup.cmake)

  set(CPACK_COMPONENTS_ALL runtime dev tools pcsc serve)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${VORKAND_PACKAGE_RELEASE})
  set(CPACK_DEBIAN_PACKAGE_SOURCE vorkand)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VORKAND_PACKAGE_MAINTAINER})
  # Dependencies: dpkg-shlibdeps for every ELF file, plus the exact version of
  # a sibling package a component needs (CPACK_COMPONENT_<C>_DEPENDS). Our own
  # library is found in the build tree; its version comes from the sibling.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${library_dir})
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime_package})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # pcsc: ports and TLS network ports load pcsc-lite and libssl at run time; serial
  # and plain network ports need nothing.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "libpcsclite1, libssl3")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${debian}/triggers ${staged}/runtime/shlibs)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
      "serial smart-card reader library
vorkand drives a smart-card reader on a serial port: it resets the reader,
powers up the card and reads its answer-to-reset, exchanges APDUs with the
card and fetches long answers. It also offers single-block DES.

This package holds the shared library.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvorkand-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_COMPONENT_DEV_DEPENDS runtime)
  set(CPACK_DEBIAN_DEV_DESCRIPTION
      "serial smart-card reader library - development files
vorkand drives a smart-card reader on a serial port, and offers
single-block DES.

This package holds the header, the pkg-config file and the CMake package
needed to build programs that use the library.")

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vorkand-tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
  set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION
      "serial smart-card reader tool and simulator
The vorkand tool powers up a card and decodes its answer-to-reset, sends
APDUs and scripts of APDUs, and runs DES. It also simulates a reader with a
card on a pseudo-terminal, and its demo runs the typical use of the library
against that simulator.")

  set(CPACK_DEBIAN_PCSC_PACKAGE_NAME vorkand-pcsc)
  set(CPACK_DEBIAN_PCSC_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PCSC_PACKAGE_DEPENDS pcscd)
  set(CPACK_DEBIAN_PCSC_PACKAGE_CONTROL_EXTRA ${staged}/pcsc/conffiles)
  set(CPACK_DEBIAN_PCSC_DESCRIPTION
      "serial smart-card reader driver for pcscd
This pcscd reader driver serves the serial smart-card reader that vorkand
drives to every PC/SC program. Its entry in /etc/reader.conf.d names the
reader on COM1; pcscd picks it up when it next starts.")

  # The server links the library's layers in (as the pcscd driver does) and
  # libssl; its postinst makes the system user, in dialout.
  set(CPACK_DEBIAN_SERVE_PACKAGE_NAME vorkand-serve)
  set(CPACK_DEBIAN_SERVE_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_SERVE_PACKAGE_DEPENDS adduser)
  set(CPACK_DEBIAN_SERVE_PACKAGE_SUGGESTS "pcscd")
  set(CPACK_DEBIAN_SERVE_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/tools/serve/debian/postinst
      ${PROJECT_SOURCE_DIR}/tools/serve/debian/postrm)
  set(CPACK_DEBIAN_SERVE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_SERVE_DESCRIPTION
      "smart-card readers served to other machines
vorkand-serve makes any reader that the vorkand library opens (a serial
reader, a PC/SC reader, a simulator) a network reader: hosts on other
machines reach it through the library with tls://HOST:PORT, and PC/SC
programs there through pcscd and the vorkand-pcsc driver. Anywhere but
loopback, clients must show a TLS client certificate of the configured CA.
The systemd unit vorkand-serve.service runs it as the system user
vorkand-serve once /etc/vorkand-serve/vorkand-serve.conf exists.")

  include(CPack)
endfunction()

cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL vorkand_describe_packages)
