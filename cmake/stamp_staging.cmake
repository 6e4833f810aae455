# Run by CPack once it has staged the files and before it packs them: a
# release stamps every staged file with SOURCE_DATE_EPOCH, so that a
# checkout whose files are older than the commit packs the same bytes as a
# fresh clone, whose files are all newer.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT epoch STREQUAL "")
    file(GLOB_RECURSE staged LIST_DIRECTORIES true
        "${CPACK_TEMPORARY_DIRECTORY}/*")
    if(staged)
        execute_process(COMMAND touch -h -d "@${epoch}" ${staged}
            COMMAND_ERROR_IS_FATAL ANY)
    endif()
endif()
