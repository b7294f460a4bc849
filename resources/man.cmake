# Manual pages, installed compressed as Debian's policy asks (man reads them either way).
find_program(QUILMO_GZIP gzip REQUIRED)
set(quilmo_man_pages quilmoctl)
if(TARGET Quilmo)
  list(APPEND quilmo_man_pages Quilmo)
endif()
set(quilmo_man_outputs)
foreach(page ${quilmo_man_pages})
  set(source ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/man/${page}.1.in ${source} @ONLY)
  # -n: no name or time stamp inside, so that the same page gives the same bytes.
  add_custom_command(OUTPUT ${source}.gz
    COMMAND ${QUILMO_GZIP} -9 -n -f -k ${source}
    DEPENDS ${source} ${CMAKE_CURRENT_LIST_DIR}/man/${page}.1.in
    VERBATIM)
  list(APPEND quilmo_man_outputs ${source}.gz)
  install(FILES ${source}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(quilmo_man_pages ALL DEPENDS ${quilmo_man_outputs})
