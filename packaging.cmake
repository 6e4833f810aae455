# Installation and packages: a Debian package and an RPM with the systemd
# units and the manual page for Linux; for Windows an MSI that installs and
# schedules the program, and a zip with the Task Scheduler definition for
# those who install by hand.

set(CPACK_PACKAGE_VENDOR "The reboot_guard developers")
set(CPACK_PACKAGE_CONTACT
    "reboot_guard developers <reboot-guard@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "restarts the machine at most once a day, in local hour 1")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/stamp_staging.cmake)

# The pages that the README links, beside it wherever it is installed.
set(doc_pages doc/design.md doc/development.md doc/fleet.md doc/releases.md
    doc/scheduling.md doc/windows.md)

if(WIN32)
    # Flat, as a Windows administrator expects it: the program, its task
    # definition and the README side by side.
    install(TARGETS reboot_guard RUNTIME DESTINATION .)
    install(FILES README.md LICENSE contrib/windows/reboot_guard.xml
        DESTINATION .)
    install(FILES ${doc_pages} DESTINATION doc)

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME
        "reboot_guard-${PROJECT_VERSION}-windows-x86_64")

    # The Windows Installer package, for deploying to many machines (Group
    # Policy, Intune, Configuration Manager), versioned as the project.
    set(REBOOT_GUARD_MSI_STAGING ${PROJECT_BINARY_DIR}/msi)
    set(REBOOT_GUARD_MSI ${PROJECT_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}.msi)
    find_program(REBOOT_GUARD_WIXL wixl)
    if(REBOOT_GUARD_WIXL)
        set(wxs ${PROJECT_SOURCE_DIR}/contrib/windows/reboot_guard.wxs)
        file(GLOB msi_tables ${PROJECT_SOURCE_DIR}/contrib/windows/tables/*.idt)
        add_custom_command(OUTPUT ${REBOOT_GUARD_MSI}
            COMMAND ${CMAKE_COMMAND} -DWIXL=${REBOOT_GUARD_WIXL} -DWXS=${wxs}
                -DVERSION=${PROJECT_VERSION}
                -DPROGRAM=$<TARGET_FILE:reboot_guard>
                -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                -DSTAGING=${REBOOT_GUARD_MSI_STAGING}
                -DOUTPUT=${REBOOT_GUARD_MSI}
                -P ${PROJECT_SOURCE_DIR}/cmake/build_msi.cmake
            DEPENDS reboot_guard ${wxs} ${msi_tables} cmake/build_msi.cmake
                cmake/stamp_staging.cmake README.md ${doc_pages}
                LICENSE contrib/windows/reboot_guard.xml
            VERBATIM)
        add_custom_target(reboot_guard_msi ALL DEPENDS ${REBOOT_GUARD_MSI})
    else()
        message(STATUS "wixl not found: no MSI (apt-get install wixl msitools)")
    endif()
else()
    install(TARGETS reboot_guard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The Windows program is stripped as it is linked, and may be signed
    # after: nothing may strip it then.
    set(CPACK_STRIP_FILES ON)
    # Debian's name for the licence file, in the package's own doc folder.
    set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/reboot-guard)
    install(FILES README.md DESTINATION ${doc_dir})
    install(FILES ${doc_pages} DESTINATION ${doc_dir}/doc)
    install(FILES LICENSE DESTINATION ${doc_dir} RENAME copyright)
    # Compressed as Debian wants it: at most compression, no time stamp.
    execute_process(
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/contrib/debian/changelog
        OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz
        COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${doc_dir})
    # Why the program is static, for lintian; the RPM leaves it out.
    install(FILES contrib/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME reboot-guard)

    # The manual page, compressed the same way; man reads it as it is.
    set(man_page ${PROJECT_BINARY_DIR}/reboot_guard.8.gz)
    add_custom_command(OUTPUT ${man_page}
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/doc/reboot_guard.8 > ${man_page}
        DEPENDS doc/reboot_guard.8
        VERBATIM)
    add_custom_target(reboot_guard_man_page ALL DEPENDS ${man_page})
    install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
        install(CODE "
            set(service_source
                \"${PROJECT_SOURCE_DIR}/contrib/systemd/reboot-guard.service\")
            set(service_bindir \"${CMAKE_INSTALL_BINDIR}\")
            set(service_staging \"${PROJECT_BINARY_DIR}/systemd\")")
        install(SCRIPT cmake/install_service.cmake)
        install(FILES contrib/systemd/reboot-guard.timer
            DESTINATION lib/systemd/system)
    endif()

    # One build, two packages: a .deb and an RPM, both named as their
    # hosts want (no underscore) and both starting nothing by themselves.
    set(CPACK_GENERATOR DEB RPM)
    set(CPACK_PACKAGE_NAME reboot-guard)
    set(CPACK_PACKAGE_DESCRIPTION
"reboot_guard checks the local hour once per start. In hour 1 it requests
a restart in five minutes unless its marker file shows that one was
already requested; in hour 15 it removes the marker.

The package ships a systemd service and a timer that starts it every 15
minutes. Nothing runs until an administrator enables the timer.")

    # The architecture of the program, not of the machine that packs it:
    # a cross build makes the 64-bit ARM packages.
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
        set(CPACK_RPM_PACKAGE_ARCHITECTURE aarch64)
    else()
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
        set(CPACK_RPM_PACKAGE_ARCHITECTURE x86_64)
    endif()

    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION admin)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # The restart command comes with the init system, and it must take a
    # time (-r +5): runit's shutdown, for one, does not.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd-sysv | sysvinit-core")
    # Under systemd, shutdown asks logind over the system bus; without the
    # bus no restart is ever requested (sysvinit needs none, and has it).
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus | dbus-system-bus")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        ${PROJECT_SOURCE_DIR}/contrib/debian/postinst
        ${PROJECT_SOURCE_DIR}/contrib/debian/prerm
        ${PROJECT_SOURCE_DIR}/contrib/debian/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # CPack puts the summary first and indents these lines; an empty line
    # is a lone dot.
    string(REPLACE "\n\n" "\n.\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "${CPACK_PACKAGE_DESCRIPTION}")

    set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
    set(CPACK_RPM_PACKAGE_RELEASE 1)
    set(CPACK_RPM_PACKAGE_LICENSE ISC)
    set(CPACK_RPM_PACKAGE_GROUP "System Environment/Base")
    set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_SOURCE_DIR}/contrib/rpm/changelog)
    # The service names /usr/bin/reboot_guard: the package cannot move.
    set(CPACK_PACKAGE_RELOCATABLE OFF)
    # Build-id links would make it own directories under /usr/lib/.build-id.
    # A release takes its build time and file times from SOURCE_DATE_EPOCH
    # and names no build host, so that any machine builds the same bytes.
    # rpm strips with the strip of the program's own architecture.
    set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none
%define packager ${CPACK_PACKAGE_CONTACT}
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible
%define __strip ${CMAKE_STRIP}")
    set(CPACK_RPM_PACKAGE_SUMMARY
        "Restarts the machine at most once a day, in local hour 1")
    set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
    # Directories of the system are the system's, not this package's.
    set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
        /usr/lib/systemd /usr/lib/systemd/system
        /usr/share/man /usr/share/man/man8
        /usr/share/lintian /usr/share/lintian/overrides
        /usr/share/lintian/overrides/reboot-guard)
    set(CPACK_RPM_USER_FILELIST
        "%license /usr/share/doc/reboot-guard/copyright")
    set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE
        ${PROJECT_SOURCE_DIR}/contrib/rpm/post)
    set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE
        ${PROJECT_SOURCE_DIR}/contrib/rpm/preun)
    set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE
        ${PROJECT_SOURCE_DIR}/contrib/rpm/postun)
endif()

include(CPack)
