# The Debian packages (scripts/package.sh): qsupdate, the utility an
# administrator installs on the hosts, and qsupdate-lab, the simulated host
# (qslab) for trying and testing updates without an adapter, which has no
# place on a production host.

set(QS_DEB_MAINTAINER "qsupdate developers <support@duskhollow.example>")
set(QS_DEB_RELEASE 1)
set(QS_DEB_VERSION ${PROJECT_VERSION}-${QS_DEB_RELEASE})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qsupdate)
set(CPACK_PACKAGE_VENDOR "Quillstone")
set(CPACK_PACKAGE_CONTACT ${QS_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL qsupdate)
if(TARGET qslab)
  list(APPEND CPACK_COMPONENTS_ALL lab)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QS_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QS_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_QSUPDATE_PACKAGE_NAME qsupdate)
set(CPACK_DEBIAN_QSUPDATE_DESCRIPTION
    "firmware update utility for Duskhollow network adapters
qsupdate finds the ports of the qsc driver, groups them into adapters and
reports the installed version of every kind of firmware each adapter
carries: controller firmware, boot ROM, UEFI ROM, PHY firmware, FPGA
bitfiles, KVE and CPLD firmware, board micro-controller firmware and
bundles. Given an image file it tells whether the image is newer and, on
request, writes it into the adapter's flash, with a backup of the image it
replaces, and restarts what must be restarted.")

set(CPACK_DEBIAN_LAB_PACKAGE_NAME qsupdate-lab)
set(CPACK_DEBIAN_LAB_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_LAB_DESCRIPTION
    "simulated host with Duskhollow adapters for trying qsupdate
qslab makes a directory that simulates a host with Duskhollow network
adapters: sysfs, procfs, device nodes, flash partitions and the adapters'
management controllers. The firmware update utility qsupdate runs against
it unchanged, without hardware and without root, so that reports and
updates can be tried, and faults injected, before they reach a real host.")

# Debian wants a copyright file and a changelog in each package's
# documentation directory; an install from source does without them. The
# packages are not uploaded to Debian, so no upload closes a Debian bug.
option(QS_DEBIAN_DOCS "Install the Debian packages' copyright files and changelogs" OFF)
if(QS_DEBIAN_DOCS)
  string(TIMESTAMP QS_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  foreach(component qsupdate lab)
    if(NOT component IN_LIST CPACK_COMPONENTS_ALL)
      continue()
    endif()
    string(TOUPPER ${component} upper)
    set(QS_DEB_NAME ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(dir ${CMAKE_BINARY_DIR}/debian/${QS_DEB_NAME})
    configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.Debian.in ${dir}/changelog.Debian @ONLY)
    add_custom_command(OUTPUT ${dir}/changelog.Debian.gz
                       COMMAND ${QS_GZIP} -9nc ${dir}/changelog.Debian > ${dir}/changelog.Debian.gz
                       DEPENDS ${dir}/changelog.Debian VERBATIM)
    add_custom_target(changelog_${component} ALL DEPENDS ${dir}/changelog.Debian.gz)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${dir}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QS_DEB_NAME} COMPONENT ${component})
    file(WRITE ${dir}/lintian-overrides "${QS_DEB_NAME}: initial-upload-closes-no-bugs\n")
    install(FILES ${dir}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME ${QS_DEB_NAME} COMPONENT ${component})
  endforeach()
endif()

include(CPack)
