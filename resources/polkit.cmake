# The polkit policy that lets quilmo-disktool do disk work as root through pkexec. The
# action names the tool's installed path, so the build tree gets its own copy naming the
# build tree's tool (usable after copying it to /usr/share/polkit-1/actions by hand).
set(QUILMO_POLKIT_POLICY org.quilmo.disktool.policy)

set(QUILMO_DISKTOOL_PATH ${QUILMO_LIBEXEC_DIR}/quilmo-disktool)
configure_file(${CMAKE_CURRENT_LIST_DIR}/${QUILMO_POLKIT_POLICY}.in
  ${CMAKE_BINARY_DIR}/share/polkit-1/actions/${QUILMO_POLKIT_POLICY} @ONLY)

set(QUILMO_DISKTOOL_PATH ${CMAKE_INSTALL_PREFIX}/libexec/quilmo/quilmo-disktool)
configure_file(${CMAKE_CURRENT_LIST_DIR}/${QUILMO_POLKIT_POLICY}.in
  ${CMAKE_CURRENT_BINARY_DIR}/install/${QUILMO_POLKIT_POLICY} @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/install/${QUILMO_POLKIT_POLICY}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)
