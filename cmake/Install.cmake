# Install rules and the CMake package: find_package(tarnmediadispatchvideoecho) gives the imported
# targets tarnmediadispatchvideoecho::tarnmediadispatchvideoecho, ::host, ::shm, and for the
# library's multi-machine part ::host_rpc (the RPC client, server and networked runtimes; its
# interface carries msgpack) and ::tarnmultimachineproxy, with their public headers under include/.
# The library loads host_rpc for its proxies but keeps it, and msgpack, out of its own interface.
# A process also links one echo server build: ::host_videoecho_standin (serves nothing), or
# ::host_videoecho from the optional component `streaming` (RTSP over GStreamer, which the package
# looks for only then). The optional component `link` brings ::host_link, the link between machines
# on an MQTT broker (libmosquitto, looked for only then). A host that wants neither still links the
# library.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_tarn_package tarnmediadispatchvideoecho)
set(_tarn_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${_tarn_package})
set(_tarn_targets host_interfaces echorecords host host_rpc shm tarnmediadispatchvideoecho
                  tarnmultimachineproxy)
# The stream player that the shared library loads; its GStreamer dependency stays private.
if(TARGET streamplayer)
  list(APPEND _tarn_targets streamplayer)
  set_target_properties(streamplayer PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
if(TARGET host_videoecho_standin)
  list(APPEND _tarn_targets host_videoecho_standin)
endif()

# Installed libraries find each other next to themselves.
set_target_properties(host host_rpc shm tarnmediadispatchvideoecho PROPERTIES
  INSTALL_RPATH "$ORIGIN"
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
if(TARGET videoecho)
  set_target_properties(videoecho PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

install(TARGETS ${_tarn_targets}
  EXPORT ${_tarn_package}Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Public headers: the host layer, its RPC module, the segment layer, the library and the RPC
# call helper, each under its own directory as they are included (<host/...>, <shm/...>, ...).
foreach(_dir
    host/include/host
    host/rpc/include/host
    libs/shm/include/shm
    libs/echorecords/include/echorecords
    libs/tarnmediadispatchvideoecho/include/tarnmediadispatchvideoecho
    libs/tarnmultimachineproxy/include/tarnmultimachineproxy)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${_dir})
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${_dir}
      DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
      FILES_MATCHING PATTERN "*.h")
  endif()
endforeach()

install(EXPORT ${_tarn_package}Targets
  NAMESPACE ${_tarn_package}::
  DESTINATION ${_tarn_config_dir})

if(TARGET host_videoecho)
  set_target_properties(host_videoecho PROPERTIES
    INSTALL_RPATH "$ORIGIN"
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS host_videoecho
    EXPORT ${_tarn_package}StreamingTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(EXPORT ${_tarn_package}StreamingTargets
    NAMESPACE ${_tarn_package}::
    DESTINATION ${_tarn_config_dir})
endif()

if(TARGET host_link)
  set_target_properties(host_link PROPERTIES
    INSTALL_RPATH "$ORIGIN"
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS host_link
    EXPORT ${_tarn_package}LinkTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/link/include/host
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
  install(EXPORT ${_tarn_package}LinkTargets
    NAMESPACE ${_tarn_package}::
    DESTINATION ${_tarn_config_dir})
endif()

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/${_tarn_package}Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/${_tarn_package}Config.cmake
  INSTALL_DESTINATION ${_tarn_config_dir})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/${_tarn_package}ConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/${_tarn_package}Config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/${_tarn_package}ConfigVersion.cmake
  DESTINATION ${_tarn_config_dir})
