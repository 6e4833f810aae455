# Builds the Windows Installer package with msitools' wixl, from a staging
# folder that holds the files the WiX source names. wixl only warns about
# an attribute it ignores, and an ignored attribute in an installer is a
# fault: any word from it fails the build.
#
# cmake -DWIXL=... -DWXS=... -DVERSION=... -DPROGRAM=... -DSOURCE_DIR=...
#     -DSTAGING=... -DOUTPUT=... -P build_msi.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${STAGING}")
file(MAKE_DIRECTORY "${STAGING}")
file(COPY "${PROGRAM}" "${SOURCE_DIR}/README.md" "${SOURCE_DIR}/LICENSE"
    "${SOURCE_DIR}/contrib/windows/reboot_guard.xml"
    DESTINATION "${STAGING}")
file(GLOB doc_pages "${SOURCE_DIR}/doc/*.md")
file(COPY ${doc_pages} DESTINATION "${STAGING}/doc")
# The cabinet keeps each file's time: for a release, the commit's.
set(stamp_dir "${STAGING}")
include("${CMAKE_CURRENT_LIST_DIR}/stamp_staging.cmake")
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

# What wixl cannot write, set in its tables afterwards: the rollback bit
# (msidbCustomActionTypeRollback, 256) of every custom action whose Id
# begins with "Rollback", and the program's version and language in the
# File table, as its version resource has them, which Windows Installer
# compares when it replaces a file (and no hash, which is for unversioned
# files).
set(tables_dir "${STAGING}.tables")
file(REMOVE_RECURSE "${tables_dir}")
file(MAKE_DIRECTORY "${tables_dir}")
execute_process(COMMAND msidump -t -d "${tables_dir}" "${OUTPUT}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(READ "${tables_dir}/CustomAction.idt" actions)
string(REGEX MATCHALL "\nRollback[^\t\n]*\t[0-9]+\t" rollbacks "${actions}")
foreach(rollback IN LISTS rollbacks)
    string(REGEX MATCH "^(\nRollback[^\t]*\t)([0-9]+)\t$" row "${rollback}")
    math(EXPR type "${CMAKE_MATCH_2} | 256")
    string(REPLACE "${rollback}" "${CMAKE_MATCH_1}${type}\t" actions
        "${actions}")
endforeach()
file(WRITE "${tables_dir}/CustomAction.idt" "${actions}")
file(READ "${tables_dir}/File.idt" files)
string(REGEX REPLACE "\n(reboot_guard\\.exe\t[^\t]*\t[^\t]*\t[^\t]*)\t\t\t"
    "\n\\1\t${VERSION}.0\t1033\t" versioned "${files}")
if(versioned STREQUAL files)
    message(FATAL_ERROR "no unversioned reboot_guard.exe in the File table")
endif()
file(WRITE "${tables_dir}/File.idt" "${versioned}")
# The hash is for unversioned files alone.
file(READ "${tables_dir}/MsiFileHash.idt" hashes)
string(REGEX REPLACE "\nreboot_guard\\.exe\t[^\n]*" "" hashes "${hashes}")
file(WRITE "${tables_dir}/MsiFileHash.idt" "${hashes}")
# Windows Installer's file names are short names, with the long name after
# a "|" where it is not one itself; wixl writes the long names alone. Each
# short name made here is the name's first six letters or digits, "~" and
# a number that keeps it apart from every other, and its extension's first
# three: "REBOOT~1.EXE|reboot_guard.exe". The root folder's name, the
# source's, and "." (the parent itself) stay as they are.
set(short_char "[^]\\\\?|><:/*\"+,;=[ .]")
set(valid_short "^${short_char}${short_char}?${short_char}?${short_char}?${short_char}?${short_char}?${short_char}?${short_char}?(\\.${short_char}${short_char}?${short_char}?)?$")
set(short_names "")
# add_short_names(TABLE COLUMN): in the names of that column of the table.
# Its rows hold no ";", which would split them here.
function(add_short_names table column)
    file(STRINGS "${tables_dir}/${table}.idt" rows)
    set(text "")
    foreach(row IN LISTS rows)
        string(REGEX REPLACE "\r$" "" row "${row}")
        string(REPLACE "\t" ";" fields "${row}")
        # The first three rows are the columns' names, types and keys.
        string(REGEX MATCHALL "\n" lines "${text}")
        list(LENGTH lines line)
        set(name "")
        if(line GREATER_EQUAL 3)
            list(GET fields ${column} name)
            list(GET fields 1 parent)
        endif()
        if(NOT name MATCHES "${valid_short}|^\\.$|^$"
                AND NOT (table STREQUAL "Directory" AND parent STREQUAL ""))
            string(TOUPPER "${name}" upper)
            set(extension "")
            if(upper MATCHES "^(.*)\\.([^.]*)$")
                set(upper "${CMAKE_MATCH_1}")
                string(REGEX REPLACE "[^A-Z0-9_-]" "" extension
                    "${CMAKE_MATCH_2}")
                string(SUBSTRING ".${extension}" 0 4 extension)
            endif()
            string(REGEX REPLACE "[^A-Z0-9_-]" "" stem "${upper}")
            string(SUBSTRING "${stem}" 0 6 stem)
            set(number 1)
            while("${stem}~${number}${extension}" IN_LIST short_names)
                math(EXPR number "${number} + 1")
            endwhile()
            set(short "${stem}~${number}${extension}")
            list(APPEND short_names "${short}")
            list(REMOVE_AT fields ${column})
            list(INSERT fields ${column} "${short}|${name}")
            string(REPLACE ";" "\t" row "${fields}")
        endif()
        string(APPEND text "${row}\r\n")
    endforeach()
    file(WRITE "${tables_dir}/${table}.idt" "${text}")
    set(short_names "${short_names}" PARENT_SCOPE)
endfunction()
add_short_names(File 2)
add_short_names(Directory 2)
# And the tables wixl has no element for, beside the WiX source: the
# marker's removal when the program's component goes, and the validation
# of every column.
get_filename_component(wxs_dir "${WXS}" DIRECTORY)
file(GLOB own_tables "${wxs_dir}/tables/*.idt")
foreach(table IN ITEMS CustomAction File Directory MsiFileHash LISTS own_tables)
    if(NOT IS_ABSOLUTE "${table}")
        set(table "${tables_dir}/${table}.idt")
    endif()
    execute_process(COMMAND msibuild "${OUTPUT}" -i "${table}"
        COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(REMOVE_RECURSE "${tables_dir}")
# The tables wixl writes empty serve nothing, and would each need their
# validation too.
execute_process(COMMAND msiinfo tables "${OUTPUT}" OUTPUT_VARIABLE tables
    COMMAND_ERROR_IS_FATAL ANY)
string(STRIP "${tables}" tables)
string(REGEX REPLACE "\r?\n" ";" tables "${tables}")
list(FILTER tables EXCLUDE REGEX "^(_|$)")
foreach(table IN LISTS tables)
    execute_process(COMMAND msiinfo export "${OUTPUT}" ${table}
        OUTPUT_VARIABLE rows COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "\n" lines "${rows}")
    list(LENGTH lines lines)
    if(lines EQUAL 3)
        execute_process(COMMAND msibuild "${OUTPUT}" -q "DROP TABLE ${table}"
            COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()

# wixl stamps the summary with the time of the build and a random
# PackageCode. A release carries the commit's time instead, and every
# package a PackageCode of its own content: a name-based UUID of its hash,
# taken with the code left blank. libmsi reads the dates as local time.
set(summary_dir "${STAGING}.summary")
file(REMOVE_RECURSE "${summary_dir}")
file(MAKE_DIRECTORY "${summary_dir}")
execute_process(COMMAND msidump -t -d "${summary_dir}" "${OUTPUT}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(READ "${summary_dir}/_SummaryInformation.idt" summary)
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    string(TIMESTAMP date "%Y/%m/%d %H:%M:%S" UTC)
    string(REGEX REPLACE "\n(12|13)\t[^\r\n]*" "\n\\1\t${date}" summary
        "${summary}")
endif()
function(set_package_code code)
    string(REGEX REPLACE "\n9\t[^\r\n]*" "\n9\t{${code}}" text "${summary}")
    file(WRITE "${summary_dir}/_SummaryInformation.idt" "${text}")
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
            msibuild "${OUTPUT}" -i "${summary_dir}/_SummaryInformation.idt"
        COMMAND_ERROR_IS_FATAL ANY)
endfunction()
set_package_code(00000000-0000-0000-0000-000000000000)
file(SHA256 "${OUTPUT}" content)
string(UUID package_code NAMESPACE "${product_code}"
    NAME "package ${content}" TYPE SHA1 UPPER)
set_package_code(${package_code})
file(REMOVE_RECURSE "${summary_dir}")
