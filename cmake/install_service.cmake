# Installs the systemd service with ExecStart naming the program where this
# install puts it. It runs at install time, as `cmake --install --prefix`
# may name another prefix than the configured one; DESTDIR only stages the
# files and never shows in the unit. Set before it runs: service_source,
# service_bindir (relative to the prefix or absolute), service_staging.
set(bindir "${service_bindir}")
if(NOT IS_ABSOLUTE "${bindir}")
    set(bindir "${CMAKE_INSTALL_PREFIX}/${bindir}")
endif()
file(READ "${service_source}" text)
string(REPLACE "ExecStart=/usr/bin/reboot_guard"
    "ExecStart=${bindir}/reboot_guard" text "${text}")
file(WRITE "${service_staging}/reboot-guard.service" "${text}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
    TYPE FILE FILES "${service_staging}/reboot-guard.service")
