# Installation and the Debian package of the module.
#   cmake --install <build>           the stripped executable, its manual page
#                                     and the documents, under the prefix
#   cpack --config <build>/CPackConfig.cmake
#                                     xapfilesystem_<version>_<arch>.deb
include(GNUInstallDirs)
set(XAP_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/xapfilesystem)

# Debian keeps manual pages and changelogs compressed, without timestamps.
foreach(doc xapFileSystem.1 changelog)
  add_custom_command(OUTPUT ${doc}.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/doc/${doc} > ${doc}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/${doc})
endforeach()
add_custom_target(xap_docs ALL DEPENDS xapFileSystem.1.gz changelog.gz)

# Stripped whether or not --strip is given.
install(CODE "set(CMAKE_INSTALL_DO_STRIP TRUE)")
install(TARGETS xapFileSystem RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/xapFileSystem.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md SECURITY.md doc/copyright ${CMAKE_BINARY_DIR}/changelog.gz
  DESTINATION ${XAP_DOC_DIR})

# Debian's name for the target's architecture.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(XAP_DEB_ARCH amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(XAP_DEB_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(XAP_DEB_ARCH armhf)
else()
  set(XAP_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xapfilesystem)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_CONTACT "xapFileSystem team <xapfilesystem@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "file-system extension module of the device application framework")
# The extended description; cpack puts the summary above it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "xapFileSystem copies, moves, deletes and unpacks files for the widgets
installed on a device, answers questions about files, folders and the
widget partition, and reports long jobs with events. The framework's host
drives it one command at a time over a line protocol on its standard
streams.

Every change to the file system runs a standard tool (cp, mv, rm, unzip,
chmod) after the path has passed a strict path policy.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${XAP_DEB_ARCH})
set(CPACK_DEBIAN_FILE_NAME xapfilesystem_${PROJECT_VERSION}_${XAP_DEB_ARCH}.deb)
# The C library version comes from the executable itself, at packaging time.
set(CPACK_XAP_EXECUTABLE ${CMAKE_BINARY_DIR}/xapFileSystem)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/XapPackageDepends.cmake)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})  # its working folder
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/dist)
include(CPack)
