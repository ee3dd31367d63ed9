# Debian packages with CPack: `runtime` becomes libqor-webviewN (N: the
# library's ABI number), `dev` becomes libqor-webview-dev. Built by
# scripts/package from a tree configured with the prefix /usr, where
# GNUInstallDirs gives the multiarch libdir.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qor-webview)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Debian packages have no licence field (their copyright file says it);
# the generators that have one get its SPDX identifier.
set(CPACK_RPM_PACKAGE_LICENSE ${QOR_WEBVIEW_LICENSE})
set(CPACK_FREEBSD_PACKAGE_LICENSE ${QOR_WEBVIEW_LICENSE})

set(CPACK_PACKAGE_CONTACT "${QOR_DEB_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QOR_DEB_RELEASE})

# Depends from the binaries themselves, and a shlibs file so that packages
# built against this one depend on it in turn.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QOR_DEB_RUNTIME_PACKAGE})
# dpkg runs ldconfig once after the library comes or goes, through libc's
# trigger. CPack would otherwise write a postinst and a postrm that call it
# themselves; naming scripts of those names, which do not exist, turns that
# off (CPack warns that it cannot add them), so the package has no
# maintainer scripts at all.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/triggers
  ${PROJECT_BINARY_DIR}/no-maintainer-scripts/postinst
  ${PROJECT_BINARY_DIR}/no-maintainer-scripts/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Chat content needs colour emoji and CJK glyphs; the helper works without
# them, drawing boxes.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "fonts-noto-color-emoji, fonts-noto-cjk | fonts-wqy-microhei")
# The renderer starts a private X server when there is no display.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "xvfb, xauth")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "headless HTML rendering helper for desktop applications
The shared library qor_webview starts qor_webview_helper, which lays HTML
out with WebKitGTK in offscreen windows and answers with PNG pictures of
log entries, chat messages or notifications, cut into bands, with the
rectangles of their links. Includes the command-line renderer
qor_webview_render.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${QOR_DEB_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${QOR_DEB_RUNTIME_PACKAGE} (= ${QOR_DEB_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "headless HTML rendering helper for desktop applications (development files)
Headers of the qor_webview client library, its CMake package
(find_package(qor_webview)) and its pkg-config file.")

include(CPack)
