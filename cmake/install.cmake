# Installation: the library and its headers, the helper, the command-line
# renderer, a CMake package (find_package(qor_webview), target
# qor_webview::qor_webview) and qor_webview.pc, all relocatable with the
# prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# What the library's users need from it: C++20 for its headers, threads for
# the client, and dladdr, through which the client finds its own file.
find_package(Threads REQUIRED)
target_compile_features(qor_webview PUBLIC cxx_std_20)

# Installed programs find the shared library beside their prefix through a
# relative run path; a distribution package, whose library lies in the
# system's search path, turns this off.
option(QOR_INSTALL_RPATH "Give installed programs a run path relative to their prefix" ON)

# The helper is a program for the library, not for people: it goes to a
# folder of its own in libexec, and the client looks for it there relative
# to its own file (the shared library in its libdir, or a program in bin
# that the static library is linked into), whatever prefix the files were
# installed to; last at the full path of this configuration.
set(QOR_WEBVIEW_HELPER_DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/qor_webview)
if(IS_ABSOLUTE "${QOR_WEBVIEW_HELPER_DESTINATION}")
  set(qor_helper_full_dir "${QOR_WEBVIEW_HELPER_DESTINATION}")
else()
  set(qor_helper_full_dir "${CMAKE_INSTALL_PREFIX}/${QOR_WEBVIEW_HELPER_DESTINATION}")
endif()
file(RELATIVE_PATH qor_lib_to_helper "${CMAKE_INSTALL_FULL_LIBDIR}" "${qor_helper_full_dir}")
file(RELATIVE_PATH qor_bin_to_helper "${CMAKE_INSTALL_FULL_BINDIR}" "${qor_helper_full_dir}")
if(qor_lib_to_helper STREQUAL "")
  set(qor_lib_to_helper ".")
endif()
if(qor_bin_to_helper STREQUAL "")
  set(qor_bin_to_helper ".")
endif()
set_property(SOURCE ${PROJECT_SOURCE_DIR}/client/src/client.cpp TARGET_DIRECTORY qor_webview_objects
  APPEND PROPERTY COMPILE_DEFINITIONS
    "QOR_WEBVIEW_LIB_TO_HELPER=\"${qor_lib_to_helper}\""
    "QOR_WEBVIEW_BIN_TO_HELPER=\"${qor_bin_to_helper}\""
    "QOR_WEBVIEW_INSTALLED_HELPER=\"${qor_helper_full_dir}/qor_webview_helper\"")

# Two components, one per Debian package: `runtime` (the shared library,
# the helper, the renderer and its manual) and `dev` (headers, the link-time
# name of the library, the CMake package, pkg-config).
set(QOR_DEB_RUNTIME_PACKAGE libqor-webview${QOR_WEBVIEW_SOVERSION})
set(QOR_DEB_DEV_PACKAGE libqor-webview-dev)

install(TARGETS qor_webview EXPORT qor_webviewTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/protocol/include/qor_webview ${PROJECT_SOURCE_DIR}/client/include/qor_webview
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
  FILES_MATCHING PATTERN "*.hpp")

if(QOR_BUILD_HELPER)
  # Exported too, as qor_webview::qor_webview_helper, for parents that
  # want to name the helper's path themselves.
  install(TARGETS qor_webview_helper EXPORT qor_webviewTargets
    RUNTIME DESTINATION ${QOR_WEBVIEW_HELPER_DESTINATION} COMPONENT runtime)
  install(TARGETS qor_webview_render RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  install(FILES ${PROJECT_BINARY_DIR}/cli/qor_webview_render.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  if(QOR_WEBVIEW_SHARED AND QOR_INSTALL_RPATH)
    file(RELATIVE_PATH qor_bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    set_target_properties(qor_webview_render PROPERTIES INSTALL_RPATH "$ORIGIN/${qor_bin_to_lib}")
  endif()
endif()
# Each package's documentation folder holds the copyright file and the
# Debian changelog, compressed as Debian wants it (gzip -9n: the same bytes
# from every build); each package says which lintian tags do not apply to
# it, and why.
include(${PROJECT_SOURCE_DIR}/cmake/debian.cmake)
foreach(qor_component IN ITEMS runtime dev)
  if(qor_component STREQUAL "runtime")
    set(qor_package ${QOR_DEB_RUNTIME_PACKAGE})
  else()
    set(qor_package ${QOR_DEB_DEV_PACKAGE})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${QOR_DEB_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${qor_package} COMPONENT ${qor_component})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${qor_package} COMPONENT ${qor_component})
endforeach()

set(QOR_WEBVIEW_CMAKE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qor_webview)
install(EXPORT qor_webviewTargets COMPONENT dev
  NAMESPACE qor_webview::
  FILE qor_webviewTargets.cmake
  DESTINATION ${QOR_WEBVIEW_CMAKE_DESTINATION})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qor_webviewConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qor_webviewConfig.cmake
  INSTALL_DESTINATION ${QOR_WEBVIEW_CMAKE_DESTINATION}
  PATH_VARS QOR_WEBVIEW_HELPER_DESTINATION)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qor_webviewConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/qor_webviewConfig.cmake
  ${PROJECT_BINARY_DIR}/qor_webviewConfigVersion.cmake
  DESTINATION ${QOR_WEBVIEW_CMAKE_DESTINATION} COMPONENT dev)

# pkg-config: every directory relative to the file's own place, so that
# the prefix can move.
file(RELATIVE_PATH qor_pc_to_prefix "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" qor_pc_to_prefix "${qor_pc_to_prefix}")
set(QOR_PC_PRIVATE_LIBS "")
if(CMAKE_DL_LIBS)
  set(QOR_PC_PRIVATE_LIBS "-l${CMAKE_DL_LIBS}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/qor_webview.pc.in ${PROJECT_BINARY_DIR}/qor_webview.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qor_webview.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
