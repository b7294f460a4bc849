# The polkit policy that lets quilmo-disktool do disk work as root through pkexec. Its
# actions name the tool by absolute path, so the installed copy is written at install time
# for the prefix actually used. The build tree gets none: a policy that lets the active
# user run, without a password, a program in a place that user may rewrite would hand
# out root. Run as root, the tool in the build tree works without polkit; as a normal user,
# pkexec asks for an administrator's password for it.
set(QUILMO_POLKIT_POLICY org.quilmo.disktool.policy)
# Build trees configured by older versions held one naming their own tool.
file(REMOVE_RECURSE ${CMAKE_BINARY_DIR}/share/polkit-1)
# Installing needs only the build tree.
configure_file(${CMAKE_CURRENT_LIST_DIR}/${QUILMO_POLKIT_POLICY}.in
  ${CMAKE_CURRENT_BINARY_DIR}/${QUILMO_POLKIT_POLICY}.in COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/InstallPolicy.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/InstallPolicy.cmake COPYONLY)
install(CODE "
  set(QUILMO_POLKIT_POLICY_IN \"${CMAKE_CURRENT_BINARY_DIR}/${QUILMO_POLKIT_POLICY}.in\")
  include(\"${CMAKE_CURRENT_BINARY_DIR}/InstallPolicy.cmake\")
")
