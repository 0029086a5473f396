# Debian package: `cpack -G DEB` in a build directory configured with -DCMAKE_INSTALL_PREFIX=/usr
# (the "package" preset does that). The package carries the runtime and debian components of
# cmake/Install.cmake: programs, update policy, logrotate rule, Mender update module, SWUpdate
# handler and its boot-time unit, their settings, gzipped manual pages, copyright, changelog.

set(ZB_PACKAGE_MAINTAINER "Hub tools team <hub-tools@example.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(ZB_DEB_REVISION 1 CACHE STRING "Debian revision of the package")
set(ZB_DEB_VERSION ${PROJECT_VERSION}-${ZB_DEB_REVISION})

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "Packaging: CMAKE_INSTALL_PREFIX is ${CMAKE_INSTALL_PREFIX}; "
                   "a Debian package wants -DCMAKE_INSTALL_PREFIX=/usr")
endif()

# Debian wants manual pages and changelogs compressed with gzip -9n (no name, no timestamp, so
# the package is reproducible).
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(zb_debian_dir ${PROJECT_BINARY_DIR}/debian-files)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
               ${zb_debian_dir}/changelog.Debian @ONLY)
set(zb_gz_outputs)
foreach(src ${ZB_MAN_BUILT} ${zb_debian_dir}/changelog.Debian)
    get_filename_component(name ${src} NAME)
    set(out ${zb_debian_dir}/${name}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${GZIP_EXECUTABLE} -9n -c ${src} > ${out}
        DEPENDS ${src}
        COMMENT "Compressing ${name}")
    list(APPEND zb_gz_outputs ${out})
endforeach()
# Part of `all`, because cpack installs what is built but builds nothing itself.
add_custom_target(debian_files ALL DEPENDS ${zb_gz_outputs})
add_dependencies(debian_files man_pages)

install(FILES ${zb_debian_dir}/pairvault.8.gz ${zb_debian_dir}/radioflash.8.gz
              ${zb_debian_dir}/zigbee-module-update.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${zb_debian_dir}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME}
        COMPONENT debian EXCLUDE_FROM_ALL)

# CPack does not mark files under /etc as conffiles the way debhelper does, so list the
# logrotate rule and the update module's settings explicitly: an administrator's edits must
# survive upgrades.
file(WRITE ${zb_debian_dir}/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/zigbee-module-tools\n"
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/zigbee-module-tools\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Hub tools team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZB_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zigbee coordinator module backup, restore and firmware tools")
set(CPACK_PACKAGE_DESCRIPTION
    "Service tools for the Zigbee coordinator module of a hub appliance, reached
over a USB-serial adapter or the hub's on-board serial port.
.
pairvault backs up, restores and factory-resets the module's paired-device
data; radioflash writes new firmware into the module and reports its version.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_ZB_SOURCE_DATE_EPOCH ${ZB_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackProject.cmake)
# Only the shipped components; test helpers or third-party install rules never leak in.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};runtime;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZB_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZB_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, logrotate")
# Only the OTA adapters need them, and only on hubs that Mender or SWUpdate services.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mender-client, swupdate")
# postinst enables the boot-time recovery unit where swupdate is installed; postrm undoes it.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${zb_debian_dir}/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

if(CMAKE_CROSSCOMPILING)
    # dpkg would name the build machine; the package is for the target.
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    endif()
else()
    find_program(DPKG_EXECUTABLE dpkg)
    if(DPKG_EXECUTABLE)
        execute_process(COMMAND ${DPKG_EXECUTABLE} --print-architecture
            OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
endif()

# Library dependencies come from dpkg-shlibdeps (dpkg-dev). Static binaries have none, and a cross
# build's libraries are not known to the build machine's dpkg.
if(STATIC_BINARIES)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
elseif(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    message(STATUS "Packaging: cross build; the package declares no library dependencies")
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
