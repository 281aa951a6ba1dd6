# `cpack` in a build folder packages what `cmake --install` installs: a .deb from a Linux build,
# a .zip from the MinGW build. The version and the maintainer come from packaging/changelog.
set(CPACK_PACKAGE_NAME hosts-manager)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the hosts-manager authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep the system hosts file through a numbered menu")
# The extended description, in lines of at most 80 characters as Debian wants them.
set(CPACK_PACKAGE_DESCRIPTION "\
hosts-manager keeps the system hosts file, the text file that maps host names
to IP addresses for the local name resolver, through a numbered console menu:
it backs the file up into the working folder, adds, replaces, lists and
deletes associations, and restores the file from the backup. Its texts are
Simplified Chinese in GBK (code page 936).

Every change is written to a new file beside the hosts file and put in its
place only when it is whole and synced, so a failure leaves the old file as it
was; comments and the other lines that are not entries are kept byte for byte.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME hosts-manager-${CPACK_PACKAGE_VERSION}-windows-x86_64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${hosts_maintainer})
  # The library versions the program needs, found by dpkg-shlibdeps (Debian: dpkg-dev), which
  # cpack runs on the files that `file` says are programs; without both, the versions that a
  # build on Debian 12 needs, whatever its build type.
  find_program(HOSTS_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(HOSTS_FILE file)
  if(HOSTS_DPKG_SHLIBDEPS AND HOSTS_FILE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    message(STATUS "dpkg-shlibdeps or file not found (Debian: dpkg-dev file): the .deb will "
      "depend on the library versions that a build on Debian 12 needs")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
  endif()
endif()
include(CPack)
