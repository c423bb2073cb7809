# Debian packages, one per program: bulfetch (with the login hook),
# dirpick and bulserve (with its systemd unit). Build them with
#   cpack -G DEB          (in the build folder)
set(calyx_packages bulfetch dirpick bulserve)

# Files of the packages themselves, beside the programs' own install rules.
# Their destinations are absolute system paths, so they go only into the
# packages (a per-component install), never into a plain
# `cmake --install --prefix P`, which must stay inside P.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bulfetch.sh
        DESTINATION /etc/profile.d COMPONENT bulfetch EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bulfetch.csh
        DESTINATION /etc/csh/login.d RENAME bulfetch COMPONENT bulfetch EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bulfetch.tmpfiles
        DESTINATION /usr/lib/tmpfiles.d RENAME bulfetch.conf COMPONENT bulfetch EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bulserve.service
        DESTINATION /lib/systemd/system COMPONENT bulserve EXCLUDE_FROM_ALL)

# Debian wants a copyright file and a changelog compressed with gzip -9n
# (no name, no time stamp, so the package is reproducible) in each
# package's documentation folder. The changelog's latest entry names the
# package version: a version given at build time that the changelog lacks
# gets an entry of its own on top, dated by the build's SOURCE_DATE_EPOCH
# (after the entry below it, as Debian requires). With a Debian revision the
# package is no longer native, and its changelog is named changelog.Debian.
set(calyx_maintainer "Calyx tools team <calyx-tools@site.example>")
include(${PROJECT_SOURCE_DIR}/packaging/source_date_epoch.cmake)
calyx_changelog_top(${PROJECT_SOURCE_DIR}/packaging/changelog calyx_release calyx_release_epoch)
file(READ ${PROJECT_SOURCE_DIR}/packaging/changelog calyx_changelog_text)
if(NOT calyx_release STREQUAL PROJECT_VERSION)
  calyx_source_date_epoch(calyx_epoch ${PROJECT_SOURCE_DIR})
  if(calyx_epoch LESS_EQUAL calyx_release_epoch)
    math(EXPR calyx_epoch "${calyx_release_epoch} + 1")
  endif()
  set(calyx_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} ${calyx_epoch})
  string(TIMESTAMP calyx_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(ENV{SOURCE_DATE_EPOCH} "${calyx_saved_epoch}")
  string(PREPEND calyx_changelog_text
    "calyx-tools (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Built from release ${calyx_release} as version ${PROJECT_VERSION}.\n\n"
    " -- ${calyx_maintainer}  ${calyx_date}\n\n")
endif()
# Written where it changed only, so that a reconfiguration rebuilds nothing.
set(calyx_changelog ${PROJECT_BINARY_DIR}/packaging/changelog)
file(WRITE ${calyx_changelog}.new "${calyx_changelog_text}")
configure_file(${calyx_changelog}.new ${calyx_changelog} COPYONLY)
if(CALYX_DEBIAN_REVISION STREQUAL "")
  set(calyx_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
else()
  set(calyx_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
endif()
add_custom_command(OUTPUT ${calyx_changelog_gz}
  COMMAND gzip -9n -c ${calyx_changelog} > ${calyx_changelog_gz}
  DEPENDS ${calyx_changelog})
add_custom_target(calyx_package_docs ALL DEPENDS ${calyx_changelog_gz})
foreach(pkg ${calyx_packages})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${calyx_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${pkg})
endforeach()

set(CPACK_PACKAGE_NAME calyx-tools)
set(CPACK_PACKAGE_VENDOR "Calyx tools team")
set(CPACK_PACKAGE_CONTACT "${calyx_maintainer}")
set(CPACK_PACKAGE_VERSION ${calyx_upstream_version})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CALYX_DEBIAN_REVISION})
configure_file(${PROJECT_SOURCE_DIR}/packaging/cpack_project.cmake.in
               ${PROJECT_BINARY_DIR}/packaging/cpack_project.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack_project.cmake)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL ${calyx_packages})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${calyx_maintainer}")

set(CPACK_DEBIAN_BULFETCH_PACKAGE_NAME bulfetch)
set(CPACK_COMPONENT_BULFETCH_DESCRIPTION "site bulletin client
bulfetch shows the site bulletin: it asks the site's bulletin server,
found through the site name service, keeps a machine-wide copy for when
the server can't be reached, and remembers per user which bulletin was
last shown. The login hooks for sh-family shells and for csh and tcsh
show a new bulletin once at each interactive login, without holding it.")
# Files under /etc are the administrator's: an upgrade must not overwrite
# a hook that was edited or removed.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/bulfetch/conffiles
     "/etc/csh/login.d/bulfetch\n/etc/profile.d/bulfetch.sh\n")
configure_file(${PROJECT_SOURCE_DIR}/packaging/bulfetch.postinst
               ${PROJECT_BINARY_DIR}/packaging/bulfetch/postinst COPYONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/bulfetch.postrm
               ${PROJECT_BINARY_DIR}/packaging/bulfetch/postrm @ONLY)
# Maintainer scripts mode 0755 and the rest 0644, whatever the checkout's
# modes, as dpkg and lintian expect.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_BULFETCH_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/bulfetch/conffiles
    ${PROJECT_BINARY_DIR}/packaging/bulfetch/postinst
    ${PROJECT_BINARY_DIR}/packaging/bulfetch/postrm)

set(CPACK_DEBIAN_DIRPICK_PACKAGE_NAME dirpick)
set(CPACK_DEBIAN_DIRPICK_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_DIRPICK_DESCRIPTION "directory finder for site packages
dirpick prints the directory of a package where files of a given type
(binaries, libraries, manual pages, ...) for this machine live, trying
the site's directory layouts in order, so that shell start-up files can
build PATH and MANPATH.")

set(CPACK_DEBIAN_BULSERVE_PACKAGE_NAME bulserve)
set(CPACK_COMPONENT_BULSERVE_DESCRIPTION "reference site bulletin server
bulserve serves one bulletin file over UDP to the site's bulletin
clients. Each change of the bulletin gets a larger stamp than any served
before, remembered across restarts; a changed file is taken once its
writer has closed it; answers are rate-limited per source network.
bulpublish publishes a bulletin with its stamp in one step, so replicas
serve it alike. A systemd unit runs the server as a dynamic user.")

include(CPack)
