# Quilmo and Quilmo-Helper are installed from here, once their targets exist, so that every
# program lands where the others look for it: P/bin/Quilmo, and the helper (the program
# that Quilmo starts and registers at login) in P/libexec/quilmo. The build tree uses the
# same places.
if(TARGET Quilmo)
  set_target_properties(Quilmo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QUILMO_BIN_DIR})
  install(TARGETS Quilmo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET Quilmo-Helper)
  set_target_properties(Quilmo-Helper PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QUILMO_LIBEXEC_DIR})
  install(TARGETS Quilmo-Helper RUNTIME DESTINATION libexec/quilmo)
endif()
