# What `make install` (cmake --install) lays out: the programs under the prefix, the client
# library, the server root where the launcher looks for it, the manual pages, the systemd
# unit and the logrotate file. DESTDIR stages all of it, the root and the logrotate file included.
include(GNUInstallDirs)

set(TVN_SERVER_ROOT "/usr/local/tolvane" CACHE PATH
  "The server root that make install lays out and the service runs (the launcher's own default is /usr/local/tolvane/)")
set(TVN_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where the systemd unit goes (relative: under the prefix)")
set(TVN_LOGROTATE_DIR "/etc/logrotate.d" CACHE PATH "Where the logrotate file goes")
string(REGEX REPLACE "(.)/+$" "\\1" TVN_SERVER_ROOT "${TVN_SERVER_ROOT}")
if(IS_ABSOLUTE "${TVN_SYSTEMD_UNIT_DIR}")
  set(TVN_SYSTEMD_UNIT_FULL_DIR "${TVN_SYSTEMD_UNIT_DIR}")
else()
  set(TVN_SYSTEMD_UNIT_FULL_DIR "${CMAKE_INSTALL_PREFIX}/${TVN_SYSTEMD_UNIT_DIR}")
endif()

# ---- programs ---------------------------------------------------------------------------
# Everything the rules below install, to build it alone: make install and make package build
# this target, and installing (cpack included) does not build the whole tree, tests and all.
add_custom_target(tvn_install_targets)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
add_dependencies(tvn_install_targets tvnclient tvn tvnadduser tvnsysadduser tvnvpasswd tvnpasswd
  tolvane listacct hostacct pathmap journal)
install(TARGETS tvnclient RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tvn tvnadduser tvnsysadduser tvnvpasswd tvnpasswd
  RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET tvnctl)
  add_dependencies(tvn_install_targets tvnctl)
  install(TARGETS tvnctl RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
endif()
# tvnmount where libfuse3 was found.
if(TARGET tvnmount)
  add_dependencies(tvn_install_targets tvnmount)
  install(TARGETS tvnmount RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# tvnbench stays in the build tree: it starts its own servers from the build's bin/ and lib/.

# ---- the client library -----------------------------------------------------------------
# libtolvane-client, static and shared, its public headers (with the protocol's codes, which
# they use) and its pkg-config file.
add_dependencies(tvn_install_targets tvn_client tvn_client_shared)
install(TARGETS tvn_client tvn_client_shared
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/client/include/tolvane/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolvane FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/server/include/tolvane/protocol.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolvane)
configure_file(${CMAKE_CURRENT_LIST_DIR}/libtolvane-client.pc.in
  ${PROJECT_BINARY_DIR}/packaging/libtolvane-client.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/libtolvane-client.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- the server root --------------------------------------------------------------------
install(TARGETS tolvane listacct hostacct pathmap journal
  LIBRARY DESTINATION ${TVN_SERVER_ROOT}/lib)
install(FILES ${PROJECT_SOURCE_DIR}/conf/tolvane.conf.sample DESTINATION ${TVN_SERVER_ROOT}/conf)
# The default configuration only where none exists: an administrator's file is never replaced.
install(CODE "
  set(tvn_conf \"\$ENV{DESTDIR}${TVN_SERVER_ROOT}/conf/tolvane.conf\")
  if(EXISTS \"\${tvn_conf}\")
    message(STATUS \"Kept: \${tvn_conf}\")
  else()
    # file(INSTALL) puts DESTDIR in front of the destination itself.
    file(INSTALL \"${PROJECT_SOURCE_DIR}/conf/tolvane.conf.default\"
      DESTINATION \"${TVN_SERVER_ROOT}/conf\" RENAME tolvane.conf
      PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()")
install(DIRECTORY DESTINATION ${TVN_SERVER_ROOT}/log)
# Account databases: readable by root alone, like the databases the tools create.
install(DIRECTORY DESTINATION ${TVN_SERVER_ROOT}/users
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# ---- manual pages -----------------------------------------------------------------------
# Every page of man/, by its section (tvnctl's page included once it is there).
# tvnmount's page only with tvnmount.
set(TVN_MAN_EXCLUDED)
if(NOT TARGET tvnmount)
  set(TVN_MAN_EXCLUDED PATTERN "tvnmount.1" EXCLUDE)
endif()
foreach(section 1 5 8)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/man/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    FILES_MATCHING PATTERN "*.${section}" ${TVN_MAN_EXCLUDED})
endforeach()

# ---- service files ----------------------------------------------------------------------
set(TVN_TVNCTL "${CMAKE_INSTALL_FULL_SBINDIR}/tvnctl")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tolvane.service.in ${PROJECT_BINARY_DIR}/packaging/tolvane.service
  @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tolvane.logrotate.in
  ${PROJECT_BINARY_DIR}/packaging/tolvane.logrotate @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tolvane.service DESTINATION ${TVN_SYSTEMD_UNIT_DIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/tolvane.logrotate DESTINATION ${TVN_LOGROTATE_DIR}
  RENAME tolvane)
