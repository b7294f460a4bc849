# Runs at install time (cmake --install, make install, CPack): writes the polkit policy
# naming P/libexec/quilmo/quilmo-disktool into P/share/polkit-1/actions.
#
# A policy may only name a tool that nobody but root can replace. A staged install
# (DESTDIR set: a package being built) is judged where it will be installed, by the
# package manager, as root. A direct install is judged on the spot: when the tool or any
# directory above it may be changed by another user than root, no policy is written and
# the disk tool falls back to asking for an administrator.
cmake_policy(PUSH)
cmake_policy(VERSION 3.25) # install scripts and cmake -P run with the oldest rules otherwise
set(tool_dir "${CMAKE_INSTALL_PREFIX}/libexec/quilmo")
set(QUILMO_DISKTOOL_PATH "${tool_dir}/quilmo-disktool")
# Where an earlier install may have left one.
set(policy "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/polkit-1/actions/org.quilmo.disktool.policy")

# The first path from the tool up to / that someone other than root could change, or "".
function(quilmo_path_writable_by_others path result)
  set(${result} "" PARENT_SCOPE)
  set(p "${path}")
  while(TRUE)
    # A link itself cannot be changed, only replaced through its directory (checked next);
    # where it leads is checked on the resolved path.
    if(EXISTS "${p}" AND NOT IS_SYMLINK "${p}")
      execute_process(COMMAND stat -c "%u %a" "${p}" OUTPUT_VARIABLE st
                      OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        set(${result} "${p}" PARENT_SCOPE)
        return()
      endif()
      string(REGEX MATCH "^([0-9]+) ([0-7]+)$" _ "${st}")
      set(uid "${CMAKE_MATCH_1}")
      set(mode "${CMAKE_MATCH_2}")
      string(LENGTH "${mode}" n)
      math(EXPR last "${n} - 1")
      math(EXPR middle "${n} - 2")
      string(SUBSTRING "${mode}" ${last} 1 other)
      string(SUBSTRING "${mode}" ${middle} 1 group)
      # Sticky directories (/tmp) let others add entries but not replace ours.
      set(sticky FALSE)
      if(n EQUAL 4)
        string(SUBSTRING "${mode}" 0 1 special)
        if(special MATCHES "^[1357]$")
          set(sticky TRUE)
        endif()
      endif()
      set(others_write FALSE)
      if(other MATCHES "^[2367]$" OR group MATCHES "^[2367]$")
        set(others_write TRUE)
      endif()
      if(NOT uid STREQUAL "0" OR (others_write AND NOT sticky))
        set(${result} "${p}" PARENT_SCOPE)
        return()
      endif()
    endif()
    get_filename_component(parent "${p}" DIRECTORY)
    if(parent STREQUAL p OR parent STREQUAL "")
      return()
    endif()
    set(p "${parent}")
  endwhile()
endfunction()

set(unsafe "")
if("$ENV{DESTDIR}" STREQUAL "")
  # The path as written (each symbolic link's directory) and as resolved (each target).
  quilmo_path_writable_by_others("${QUILMO_DISKTOOL_PATH}" unsafe)
  if(NOT unsafe)
    get_filename_component(real_tool "${QUILMO_DISKTOOL_PATH}" REALPATH)
    quilmo_path_writable_by_others("${real_tool}" unsafe)
  endif()
endif()
if(unsafe)
  message(STATUS "Skipping the polkit policy: ${unsafe} may be changed by a user other than root, "
                 "so quilmo-disktool will ask for an administrator's password instead")
  if(EXISTS "${policy}")
    file(REMOVE "${policy}")
  endif()
else()
  # Written for this prefix beside the template, then installed like any file (listed in
  # the install manifest, directories made with the usual modes).
  get_filename_component(staged_dir "${QUILMO_POLKIT_POLICY_IN}" DIRECTORY)
  set(staged "${staged_dir}/install-prefix/org.quilmo.disktool.policy")
  configure_file("${QUILMO_POLKIT_POLICY_IN}" "${staged}" @ONLY)
  set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/polkit-1/actions" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${staged}")
endif()
cmake_policy(POP)
