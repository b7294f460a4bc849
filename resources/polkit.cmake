# The polkit policy that lets quilmo-disktool do disk work as root through pkexec. Its
# actions name the tool by absolute path, so the installed copy is written at install time
# for the prefix actually used, and the build tree gets one naming the build tree's tool
# (for trying it out by copying it to /usr/share/polkit-1/actions).
set(QUILMO_POLKIT_POLICY org.quilmo.disktool.policy)
set(QUILMO_POLKIT_POLICY_IN ${CMAKE_CURRENT_LIST_DIR}/${QUILMO_POLKIT_POLICY}.in)

set(QUILMO_DISKTOOL_PATH ${QUILMO_LIBEXEC_DIR}/quilmo-disktool)
configure_file(${QUILMO_POLKIT_POLICY_IN}
  ${CMAKE_BINARY_DIR}/share/polkit-1/actions/${QUILMO_POLKIT_POLICY} @ONLY)

install(CODE "
  set(QUILMO_DISKTOOL_PATH \"\${CMAKE_INSTALL_PREFIX}/libexec/quilmo/quilmo-disktool\")
  set(policy \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/polkit-1/actions/${QUILMO_POLKIT_POLICY}\")
  message(STATUS \"Installing: \${policy}\")
  configure_file(\"${QUILMO_POLKIT_POLICY_IN}\" \"\${policy}\" @ONLY)
")
