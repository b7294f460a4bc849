# CPack runs this on the staged files, after they are installed (and stripped) and before
# they are packed:
#  - the ELF files lose their .comment (the compiler's version, kept by strip) and .note
#    sections, as Debian's own packages do;
#  - every file, directory and link, and the archives' headers, take the sources' time, so
#    that building the same sources twice gives the same package.
cmake_policy(VERSION 3.25)
set(stage "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT IS_DIRECTORY "${stage}")
  message(FATAL_ERROR "no staged files at '${stage}'")
endif()

file(GLOB_RECURSE staged LIST_DIRECTORIES false "${stage}/*")
list(SORT staged)
foreach(f ${staged})
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  file(READ "${f}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND "${CPACK_QUILMO_OBJCOPY}" --remove-section=.comment --remove-section=.note "${f}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "objcopy failed on ${f}")
    endif()
  endif()
endforeach()

# The time the build was configured with (SOURCE_DATE_EPOCH or the last commit's): CPack,
# which runs this script in its own process, gives it to every file and archive header it
# writes next.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_QUILMO_SOURCE_DATE_EPOCH}")
