# What a hub image or a source install gets: the two programs, their manual pages and the
# log-rotation rule. Nothing else (tests, simulator, benchmarks, static libraries) is installed.
#
# Components:
#   runtime  the programs and the update policy zigbee-module-update (sbin), the logrotate rule
#            (sysconfdir/logrotate.d), the Mender update module (datarootdir/mender/modules/v3),
#            the SWUpdate handler (datarootdir/lua/5.4) and its boot-time recovery unit
#            (systemd's system unit directory), and their settings (sysconfdir/default)
#   man      plain manual pages, for a source install
#   debian   gzipped manual pages and the Debian doc files (cmake/Packaging.cmake); only the
#            package asks for these, EXCLUDE_FROM_ALL keeps them out of a plain `cmake --install`

foreach(prog pairvault radioflash)
    if(TARGET ${prog})
        install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT runtime)
    else()
        message(WARNING "Target ${prog} is not defined yet; it will not be installed")
    endif()
endforeach()

# GNUInstallDirs maps sysconfdir to /etc for the /usr prefix (and to /usr/local/etc for the
# default /usr/local prefix), which is where logrotate looks on the hub.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/logrotate/zigbee-module-tools
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d
        COMPONENT runtime)

# The Mender update module that rolls firmware out with radioflash. Mender looks for it in
# /usr/share/mender/modules/v3, which is where the /usr prefix puts it.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/mender/zigbee-module-firmware
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/mender/modules/v3
        COMPONENT runtime)
# The update policy both OTA engines' adapters run.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/update/zigbee-module-update
        DESTINATION ${CMAKE_INSTALL_SBINDIR}
        COMPONENT runtime)
# The SWUpdate handler, where SWUpdate's Lua 5.4 finds it by name (its package.path holds
# /usr/share/lua/5.4 and /usr/local/share/lua/5.4); the hub's own swupdate_handlers.lua loads it.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/swupdate/zigbee_module_firmware.lua
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lua/5.4
        COMPONENT runtime)
# SWUpdate never calls a handler again after a power cut: this unit settles what it left open.
# Debian 12 keeps packaged units in /lib/systemd/system.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(zb_unit_dir /lib/systemd/system)
else()
    set(zb_unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
# It runs the policy from where this install puts it, also under a prefix given at install time.
set(zb_unit ${PROJECT_BINARY_DIR}/packaging/zigbee-module-update-recover.service)
install(CODE "
    file(READ \"${PROJECT_SOURCE_DIR}/packaging/swupdate/zigbee-module-update-recover.service\" unit)
    string(REPLACE @ZB_SBIN_DIR@ \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\" unit \"\${unit}\")
    file(WRITE \"${zb_unit}\" \"\${unit}\")"
    COMPONENT runtime)
install(FILES ${zb_unit}
        DESTINATION ${zb_unit_dir}
        COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/default/zigbee-module-tools
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
        COMPONENT runtime)

set(ZB_MAN_PAGES ${PROJECT_SOURCE_DIR}/man/pairvault.8 ${PROJECT_SOURCE_DIR}/man/radioflash.8
    ${PROJECT_SOURCE_DIR}/man/zigbee-module-update.8)

# The installed pages carry the date of SOURCE_DATE_EPOCH (cmake/Reproducible.cmake). The date
# file changes only when the date does, and then the pages are made again.
set(zb_man_date ${PROJECT_BINARY_DIR}/man/date)
file(CONFIGURE OUTPUT ${zb_man_date} CONTENT "${ZB_SOURCE_DATE}\n")
set(ZB_MAN_BUILT)
foreach(page ${ZB_MAN_PAGES})
    get_filename_component(name ${page} NAME)
    set(out ${PROJECT_BINARY_DIR}/man/${name})
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -DIN=${page} -DOUT=${out} -DDATE=${ZB_SOURCE_DATE}
                -P ${PROJECT_SOURCE_DIR}/cmake/ManDate.cmake
        DEPENDS ${page} ${zb_man_date} ${PROJECT_SOURCE_DIR}/cmake/ManDate.cmake
        COMMENT "Dating manual page ${name}")
    list(APPEND ZB_MAN_BUILT ${out})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${ZB_MAN_BUILT})
install(FILES ${ZB_MAN_BUILT} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT man)

# Manual-page lint: groff exits 0 even when it warns, so the check fails on any warning text.
if(BUILD_TESTING)
    find_program(GROFF_EXECUTABLE groff)
    find_program(MANDOC_EXECUTABLE mandoc)
    foreach(page ${ZB_MAN_PAGES})
        get_filename_component(name ${page} NAME)
        if(GROFF_EXECUTABLE)
            add_test(NAME man.groff.${name}
                COMMAND ${CMAKE_COMMAND} -DGROFF=${GROFF_EXECUTABLE} -DPAGE=${page}
                        -P ${PROJECT_SOURCE_DIR}/cmake/ManLint.cmake)
            set_tests_properties(man.groff.${name} PROPERTIES LABELS man TIMEOUT 30)
        endif()
        if(MANDOC_EXECUTABLE)
            add_test(NAME man.mandoc.${name}
                COMMAND ${CMAKE_COMMAND} -DMANDOC=${MANDOC_EXECUTABLE} -DPAGE=${page}
                        -P ${PROJECT_SOURCE_DIR}/cmake/ManLint.cmake)
            set_tests_properties(man.mandoc.${name} PROPERTIES LABELS man TIMEOUT 30)
        endif()
    endforeach()
endif()
