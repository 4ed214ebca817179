# `make package`: a Debian package of the programs (under the prefix, /usr for the package),
# the client library, the server root, the manual pages, the systemd unit and the logrotate
# file.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small Unix file server with a protocol of its own")
set(CPACK_PACKAGE_DESCRIPTION
  "Remote clients log in with a user name, a domain and a password and work on the files of
their three areas. Pre-forked workers serve one connection each; modules decide who the user
is, where the files lie and what is logged.")
set(CPACK_PACKAGE_CONTACT "tolvane maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The server root and the logrotate file have absolute places: staged through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libc6, libcrypt1, libedit2, libstdc++6, libgcc-s1, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
# tvnmount unmounts, and mounts as a user, through fusermount3.
if(TARGET tvnmount)
  string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", fuse3")
endif()

# triggers: ldconfig learns of libtolvane-client.so, which the package installs.
foreach(script postinst prerm postrm conffiles triggers)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
    ${PROJECT_BINARY_DIR}/packaging/debian/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/packaging/debian/postinst
  ${PROJECT_BINARY_DIR}/packaging/debian/prerm
  ${PROJECT_BINARY_DIR}/packaging/debian/postrm
  ${PROJECT_BINARY_DIR}/packaging/debian/conffiles
  ${PROJECT_BINARY_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
