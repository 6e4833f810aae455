# Installation and packages: a Debian package with the systemd units for
# Linux, a zip with the Task Scheduler definition for Windows.

set(CPACK_PACKAGE_VENDOR "The reboot_guard developers")
set(CPACK_PACKAGE_CONTACT
    "reboot_guard developers <reboot-guard@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "restarts the machine at most once a day, in local hour 1")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    # Flat, as a Windows administrator expects it: the program, its task
    # definition and the README side by side.
    install(TARGETS reboot_guard RUNTIME DESTINATION .)
    install(FILES README.md LICENSE contrib/windows/reboot_guard.xml
        DESTINATION .)

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME
        "reboot_guard-${PROJECT_VERSION}-windows-x86_64")
else()
    install(TARGETS reboot_guard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # Debian's name for the licence file, in the package's own doc folder.
    set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/reboot-guard)
    install(FILES README.md DESTINATION ${doc_dir})
    install(FILES LICENSE DESTINATION ${doc_dir} RENAME copyright)
    # Compressed as Debian wants it: at most compression, no time stamp.
    execute_process(
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/contrib/debian/changelog
        OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz
        COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${doc_dir})

    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
        # The units name /usr/bin; point them at where this install puts
        # the program.
        file(READ contrib/systemd/reboot-guard.service service_text)
        string(REPLACE "ExecStart=/usr/bin/reboot_guard"
            "ExecStart=${CMAKE_INSTALL_FULL_BINDIR}/reboot_guard"
            service_text "${service_text}")
        file(WRITE ${PROJECT_BINARY_DIR}/systemd/reboot-guard.service
            "${service_text}")
        install(FILES ${PROJECT_BINARY_DIR}/systemd/reboot-guard.service
            contrib/systemd/reboot-guard.timer
            DESTINATION lib/systemd/system)
    endif()

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME reboot-guard) # Debian names take no underscore
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION admin)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # CPack puts the summary first and indents these lines.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"reboot_guard checks the local hour once per start. In hour 1 it requests
a restart in five minutes unless its marker file shows that one was
already requested; in hour 15 it removes the marker.
.
The package ships a systemd service and a timer that starts it every 15
minutes. Nothing runs until an administrator enables the timer.")
endif()

include(CPack)
