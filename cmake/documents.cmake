# The documents that go with the program: the manual page, configured for this build, and, on
# Linux, gzipped as Debian wants it, with the package's changelog and its machine-readable
# copyright file; on Windows, which has no man, the page rendered as HTML for the .zip.
# Sets hosts_manual (the configured page) and hosts_documents (what the install takes besides).

# The page names the hosts file this build keeps, and the release's version and date.
set(hosts_manual ${PROJECT_BINARY_DIR}/hosts-manager.1)
configure_file(${PROJECT_SOURCE_DIR}/man/hosts-manager.1.in ${hosts_manual} @ONLY)

if(WIN32)
  find_program(HOSTS_MANDOC mandoc)
  if(NOT HOSTS_MANDOC)
    message(FATAL_ERROR "The Windows build renders the manual page as HTML for its .zip and needs "
      "mandoc for that (Debian: apt-get install mandoc)")
  endif()
  set(hosts_documents ${PROJECT_BINARY_DIR}/hosts-manager.html)
  add_custom_command(OUTPUT ${hosts_documents}
    COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${HOSTS_MANDOC};-Thtml;${hosts_manual}"
      -DOUTPUT=${hosts_documents} -P ${CMAKE_CURRENT_LIST_DIR}/render.cmake
    DEPENDS ${hosts_manual} ${CMAKE_CURRENT_LIST_DIR}/render.cmake VERBATIM)
else()
  find_program(HOSTS_GZIP gzip REQUIRED)
  # The copyright file in Debian's machine-readable format, its license text taken from LICENSE.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n+(.+[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no 'Copyright (c) YEAR HOLDERS' line followed by the license")
  endif()
  set(copyright_holders ${CMAKE_MATCH_1})
  string(REPLACE "\n\n" "\n.\n" license_text "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " license_text " ${license_text}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)

  set(hosts_documents ${PROJECT_BINARY_DIR}/hosts-manager.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)
  foreach(source ${hosts_manual} ${PROJECT_SOURCE_DIR}/packaging/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${name}.gz
      COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${HOSTS_GZIP};-9n;-c;${source}"
        -DOUTPUT=${PROJECT_BINARY_DIR}/${name}.gz -P ${CMAKE_CURRENT_LIST_DIR}/render.cmake
      DEPENDS ${source} ${CMAKE_CURRENT_LIST_DIR}/render.cmake VERBATIM)
  endforeach()
endif()
add_custom_target(documents ALL DEPENDS ${hosts_documents})
