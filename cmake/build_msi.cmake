# Builds the Windows Installer package with msitools' wixl, from a staging
# folder that holds the files the WiX source names. wixl only warns about
# an attribute it ignores, and an ignored attribute in an installer is a
# fault: any word from it fails the build.
#
# cmake -DWIXL=... -DWXS=... -DVERSION=... -DPROGRAM=... -DSOURCE_DIR=...
#     -DSTAGING=... -DOUTPUT=... -P build_msi.cmake
file(REMOVE_RECURSE "${STAGING}")
file(MAKE_DIRECTORY "${STAGING}")
file(COPY "${PROGRAM}" "${SOURCE_DIR}/README.md" "${SOURCE_DIR}/LICENSE"
    "${SOURCE_DIR}/contrib/windows/reboot_guard.xml"
    DESTINATION "${STAGING}")
execute_process(
    COMMAND "${WIXL}" -a x64 -D "Version=${VERSION}" -o "${OUTPUT}" "${WXS}"
    WORKING_DIRECTORY "${STAGING}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE said
    ERROR_VARIABLE said)
if(NOT status EQUAL 0 OR NOT said STREQUAL "")
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "wixl failed or warned:\n${said}")
endif()
