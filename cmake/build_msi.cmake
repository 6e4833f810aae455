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
# One version is one product: a rebuild of an installed version must be
# taken for that product, never installed beside it. The ProductCode is a
# name-based UUID of the version under the UpgradeCode, which the WiX
# source holds.
file(READ "${WXS}" wxs_text)
if(NOT wxs_text MATCHES "UpgradeCode=\"([0-9A-Fa-f-]+)\"")
    message(FATAL_ERROR "${WXS} names no UpgradeCode")
endif()
string(UUID product_code NAMESPACE "${CMAKE_MATCH_1}"
    NAME "reboot_guard ${VERSION} x64" TYPE SHA1 UPPER)

execute_process(
    COMMAND "${WIXL}" -a x64 -D "Version=${VERSION}"
        -D "ProductCode=${product_code}" -o "${OUTPUT}" "${WXS}"
    WORKING_DIRECTORY "${STAGING}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE said
    ERROR_VARIABLE said)
if(NOT status EQUAL 0 OR NOT said STREQUAL "")
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "wixl failed or warned:\n${said}")
endif()
