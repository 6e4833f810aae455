# Stamps every file staged for a package with SOURCE_DATE_EPOCH, so that a
# checkout whose files are older than the commit packs the same bytes as a
# fresh clone, whose files are all newer. CPack runs it once it has staged
# the files (CPACK_TEMPORARY_DIRECTORY); build_msi.cmake includes it with
# stamp_dir set to its own staging folder. Nothing changes without
# SOURCE_DATE_EPOCH.
if(NOT DEFINED stamp_dir)
    set(stamp_dir "${CPACK_TEMPORARY_DIRECTORY}")
endif()
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    file(GLOB_RECURSE staged LIST_DIRECTORIES true "${stamp_dir}/*")
    if(staged)
        execute_process(
            COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged}
            COMMAND_ERROR_IS_FATAL ANY)
    endif()
endif()
