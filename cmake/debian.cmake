# What the Debian packages hold besides the build: their version, their
# maintainer and their changelog.

# The Debian revision, raised when the packages change but the sources do
# not.
set(QOR_DEB_RELEASE 1)
set(QOR_DEB_VERSION ${PROJECT_VERSION}-${QOR_DEB_RELEASE})

# The packages' Maintainer, who also signs the changelog. By default the
# packager that Debian's own tools take from DEBFULLNAME and DEBEMAIL, else
# the project.
if(DEFINED ENV{DEBEMAIL} AND "$ENV{DEBEMAIL}" MATCHES "<")
  set(qor_default_maintainer "$ENV{DEBEMAIL}")
elseif(DEFINED ENV{DEBEMAIL} AND DEFINED ENV{DEBFULLNAME})
  set(qor_default_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(qor_default_maintainer "The qor_webview developers <qor-webview@example.org>")
endif()
set(QOR_DEB_MAINTAINER "${qor_default_maintainer}" CACHE STRING
  "Maintainer of the Debian packages, as \"Name <address>\"")
if(NOT QOR_DEB_MAINTAINER MATCHES "^[^<>]*[^<> ] <[^<>@ ]+@[^<>@ ]+>$")
  message(FATAL_ERROR "QOR_DEB_MAINTAINER must read \"Name <address>\", not \"${QOR_DEB_MAINTAINER}\"")
endif()

# changelog.Debian.gz: the changelog's first entry must be this version,
# so a new version cannot be packaged without its entry.
set(qor_changelog_in ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in)
file(STRINGS ${qor_changelog_in} qor_changelog_top LIMIT_COUNT 1)
if(NOT qor_changelog_top MATCHES "^[a-z0-9.+-]+ \\(${QOR_DEB_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog.Debian.in begins with \"${qor_changelog_top}\": "
    "add an entry for ${QOR_DEB_VERSION} at its top")
endif()
configure_file(${qor_changelog_in} ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
find_program(QOR_GZIP gzip REQUIRED)
set(QOR_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(OUTPUT ${QOR_DEB_CHANGELOG}
  COMMAND ${QOR_GZIP} -9n -c ${PROJECT_BINARY_DIR}/debian/changelog.Debian > ${QOR_DEB_CHANGELOG}
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  VERBATIM)
add_custom_target(qor_webview_changelog ALL DEPENDS ${QOR_DEB_CHANGELOG})
