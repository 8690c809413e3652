# Run by CPack after it has built the packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package with a shared library maintainer scripts that call
# ldconfig; Debian's policy wants the ldconfig trigger instead, which the
# library's package carries (packaging/debian/libdeltawright1/triggers). So
# the library's .deb is rebuilt without those scripts.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  if(NOT name MATCHES "^libdeltawright[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/ldconfig-trigger")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  if(NOT EXISTS "${tree}/DEBIAN/triggers")
    message(FATAL_ERROR "${name} has no ldconfig trigger")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${tree}" "${package}"
                  COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
  file(REMOVE_RECURSE "${tree}")
endforeach()
