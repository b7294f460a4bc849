# Debian's hardening flags for everything built here: quilmo-disktool runs as root for every
# desktop user. dpkg-buildflags gives its set where it is installed; the flags below complete
# it (Debian 12's dpkg leaves out the stack-clash and control-flow protection) and stand in
# for it elsewhere. Sanitizer and fuzzing builds go without: their own checks overlap.
option(QUILMO_HARDENING "Build with the distribution's hardening flags" ON)

# Paths inside the binaries (debug information, and through it the build id) are written
# relative to the source and build trees, so that the same sources give the same bytes
# wherever they are built. The build tree comes last: it lies inside the source tree and
# the last matching map wins.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
# ccache hands the compiler paths relative to CCACHE_BASEDIR when that is set: set for every
# compile, not only for those `make` starts, so that an object names its sources the same
# way however the build was started.
foreach(lang C CXX)
  if(CMAKE_${lang}_COMPILER_LAUNCHER MATCHES "(^|/)ccache$")
    set(CMAKE_${lang}_COMPILER_LAUNCHER env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} ${CMAKE_${lang}_COMPILER_LAUNCHER})
  endif()
endforeach()

if(QUILMO_HARDENING AND NOT QUILMO_SANITIZE AND NOT QUILMO_TSAN AND NOT QUILMO_FUZZ)
  include(CheckCXXCompilerFlag)
  set(quilmo_hardening_compile)
  set(quilmo_hardening_link)
  find_program(QUILMO_DPKG_BUILDFLAGS dpkg-buildflags)
  if(QUILMO_DPKG_BUILDFLAGS)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                ${QUILMO_DPKG_BUILDFLAGS} --get ${kind}
        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      separate_arguments(flags UNIX_COMMAND "${flags}")
      # Only the hardening: optimisation, debug information and path maps are ours.
      foreach(flag ${flags})
        if(flag MATCHES "^-Wl,")
          list(APPEND quilmo_hardening_link ${flag})
        elseif(flag MATCHES "^(-D_FORTIFY_SOURCE=|-fstack-protector|-fstack-clash-protection|-fcf-protection|-Wformat|-Werror=format-security)")
          list(APPEND quilmo_hardening_compile ${flag})
        endif()
      endforeach()
    endforeach()
  endif()

  set(quilmo_required_compile -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  foreach(flag ${quilmo_required_compile})
    string(REGEX REPLACE "=.*" "" stem "${flag}")
    set(present FALSE)
    foreach(have ${quilmo_hardening_compile})
      if(have STREQUAL flag OR (stem STREQUAL "-D_FORTIFY_SOURCE" AND have MATCHES "^-D_FORTIFY_SOURCE="))
        set(present TRUE)
      endif()
    endforeach()
    if(NOT present)
      string(MAKE_C_IDENTIFIER "QUILMO_HAS${flag}" check)
      if(flag MATCHES "^-D" OR flag STREQUAL "-fstack-protector-strong")
        list(APPEND quilmo_hardening_compile ${flag})
      else()
        check_cxx_compiler_flag(${flag} ${check})
        if(${check})
          list(APPEND quilmo_hardening_compile ${flag})
        endif()
      endif()
    endif()
  endforeach()
  foreach(flag -Wl,-z,relro -Wl,-z,now)
    if(NOT flag IN_LIST quilmo_hardening_link)
      list(APPEND quilmo_hardening_link ${flag})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES quilmo_hardening_compile)
  list(REMOVE_DUPLICATES quilmo_hardening_link)

  foreach(flag ${quilmo_hardening_compile})
    if(flag MATCHES "^-D_FORTIFY_SOURCE=")
      # glibc's checks need the optimiser, and warn without it.
      add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
    else()
      add_compile_options(${flag})
    endif()
  endforeach()
  add_link_options(${quilmo_hardening_link})
  message(STATUS "Hardening: ${quilmo_hardening_compile} ${quilmo_hardening_link}")
endif()
