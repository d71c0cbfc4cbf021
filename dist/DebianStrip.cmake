# Run by CPack on the staged files before it packs them: strips every ELF file the
# way Debian's dh_strip does, of its symbols and of the .comment and .note sections
# (the compiler's version strings, which differ from build machine to build machine).
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
    if(IS_SYMLINK "${file}")
        continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
        execute_process(COMMAND "${CPACK_QUARNEL_STRIP}" --remove-section=.comment --remove-section=.note "${file}"
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
