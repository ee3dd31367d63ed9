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
target_link_libraries(qor_webview PUBLIC Threads::Threads ${CMAKE_DL_LIBS})

# The helper is a program for the library, not for people: it goes to
# libexec, and the client looks for it there relative to its own file (a
# shared library in lib, or a program in bin that it is linked into), then
# at the full path of this installation.
set(QOR_WEBVIEW_HELPER_DESTINATION ${CMAKE_INSTALL_LIBEXECDIR})
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
set_property(SOURCE ${PROJECT_SOURCE_DIR}/protocol/src/client.cpp TARGET_DIRECTORY qor_webview
  APPEND PROPERTY COMPILE_DEFINITIONS
    "QOR_WEBVIEW_LIB_TO_HELPER=\"${qor_lib_to_helper}\""
    "QOR_WEBVIEW_BIN_TO_HELPER=\"${qor_bin_to_helper}\""
    "QOR_WEBVIEW_INSTALLED_HELPER=\"${qor_helper_full_dir}/qor_webview_helper\"")

install(TARGETS qor_webview EXPORT qor_webviewTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/protocol/include/qor_webview
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp")

if(QOR_BUILD_HELPER)
  # Exported too, as qor_webview::qor_webview_helper, for parents that
  # want to name the helper's path themselves.
  install(TARGETS qor_webview_helper EXPORT qor_webviewTargets
    RUNTIME DESTINATION ${QOR_WEBVIEW_HELPER_DESTINATION})
  install(TARGETS qor_webview_render RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(BUILD_SHARED_LIBS)
    file(RELATIVE_PATH qor_helper_to_lib "${qor_helper_full_dir}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    file(RELATIVE_PATH qor_bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    set_target_properties(qor_webview_helper PROPERTIES INSTALL_RPATH "$ORIGIN/${qor_helper_to_lib}")
    set_target_properties(qor_webview_render PROPERTIES INSTALL_RPATH "$ORIGIN/${qor_bin_to_lib}")
  endif()
endif()

set(QOR_WEBVIEW_CMAKE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qor_webview)
install(EXPORT qor_webviewTargets
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
  DESTINATION ${QOR_WEBVIEW_CMAKE_DESTINATION})

# pkg-config: every directory relative to the file's own place, so that
# the prefix can move.
file(RELATIVE_PATH qor_pc_to_prefix "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" qor_pc_to_prefix "${qor_pc_to_prefix}")
set(QOR_PC_PRIVATE_LIBS "")
if(CMAKE_DL_LIBS)
  set(QOR_PC_PRIVATE_LIBS "-l${CMAKE_DL_LIBS}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/qor_webview.pc.in ${PROJECT_BINARY_DIR}/qor_webview.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qor_webview.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
