# Translations: each resources/translations/*.ts is compiled by lrelease into the build
# tree's share/quilmo/translations and installed there. The English one carries the texts of
# the symbolic keys, so every program needs it: the foundation library, which installs it
# at start-up, depends on it.
file(GLOB quilmo_ts_files CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/translations/*.ts)
set(quilmo_qm_files)
foreach(ts ${quilmo_ts_files})
  get_filename_component(ts_name ${ts} NAME_WE)
  set(qm ${QUILMO_SHARE_DIR}/translations/${ts_name}.qm)
  add_custom_command(OUTPUT ${qm}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUILMO_SHARE_DIR}/translations
    COMMAND Qt6::lrelease -silent ${ts} -qm ${qm}
    DEPENDS ${ts}
    COMMENT "Compiling translation ${ts_name}"
    VERBATIM)
  list(APPEND quilmo_qm_files ${qm})
endforeach()
if(quilmo_qm_files)
  add_custom_target(quilmo_translations ALL DEPENDS ${quilmo_qm_files})
  if(TARGET foundation)
    add_dependencies(foundation quilmo_translations)
  endif()
  install(FILES ${quilmo_qm_files} DESTINATION ${CMAKE_INSTALL_DATADIR}/quilmo/translations)
endif()
