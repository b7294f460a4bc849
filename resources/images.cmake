# Bundled images: copied into the build tree's share/quilmo/images when configuring, so
# that every program and test of the build tree finds them, and installed beside the
# translations.
file(GLOB quilmo_images CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/images/*.png ${CMAKE_CURRENT_LIST_DIR}/images/*.svg)
foreach(image ${quilmo_images})
  get_filename_component(image_name ${image} NAME)
  configure_file(${image} ${QUILMO_SHARE_DIR}/images/${image_name} COPYONLY)
endforeach()
install(FILES ${quilmo_images} DESTINATION ${CMAKE_INSTALL_DATADIR}/quilmo/images)
