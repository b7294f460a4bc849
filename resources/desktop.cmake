# What the desktop needs to show Quilmo: the desktop entry, the application icon (scalable
# and in the usual sizes, the sizes drawn from the SVG when building), the AppStream
# metainfo, and the shell completion. The icon is also bundled under share/quilmo/images,
# so that a program installed into a prefix outside the icon theme's search path still
# finds it.
set(QUILMO_APP_ID org.quilmo.Quilmo)
set(QUILMO_APP_ICON ${CMAKE_CURRENT_LIST_DIR}/icons/${QUILMO_APP_ID}.svg)
set(QUILMO_ICON_SIZES 16 22 24 32 48 64 128 256 512)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/desktop/${QUILMO_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

configure_file(${CMAKE_CURRENT_LIST_DIR}/metainfo/${QUILMO_APP_ID}.metainfo.xml.in
  ${CMAKE_CURRENT_BINARY_DIR}/${QUILMO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${QUILMO_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

install(FILES ${QUILMO_APP_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
configure_file(${QUILMO_APP_ICON} ${QUILMO_SHARE_DIR}/images/${QUILMO_APP_ID}.svg COPYONLY)
install(FILES ${QUILMO_APP_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/quilmo/images)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/quilmoctl
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(TARGET Quilmo)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/Quilmo
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# quilmo_render_svg(<svg> <png> <pixels>): a PNG drawn from an SVG when building.
find_program(QUILMO_RSVG_CONVERT rsvg-convert)
if(NOT QUILMO_RSVG_CONVERT)
  message(WARNING "rsvg-convert (librsvg2-bin) is missing: the PNG icons are not built. Run 'make deps'.")
endif()
set(quilmo_rendered_pngs)
function(quilmo_render_svg svg png pixels)
  if(QUILMO_RSVG_CONVERT)
    get_filename_component(dir ${png} DIRECTORY)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${QUILMO_RSVG_CONVERT} --width ${pixels} --height ${pixels} --keep-aspect-ratio
              --output ${png} ${svg}
      DEPENDS ${svg}
      VERBATIM)
    set(quilmo_rendered_pngs ${quilmo_rendered_pngs} ${png} PARENT_SCOPE)
  endif()
endfunction()

set(quilmo_icon_dir ${CMAKE_CURRENT_BINARY_DIR}/icons)
foreach(size ${QUILMO_ICON_SIZES})
  set(png ${quilmo_icon_dir}/${size}x${size}/${QUILMO_APP_ID}.png)
  quilmo_render_svg(${QUILMO_APP_ICON} ${png} ${size})
  if(QUILMO_RSVG_CONVERT)
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endif()
endforeach()

# The tray images in PNG beside their SVGs, at the tray's size and twice it for dense
# screens (Qt picks the "@2x" file by itself).
file(GLOB quilmo_tray_svgs CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/images/QuilmoStatusItem*.svg)
foreach(svg ${quilmo_tray_svgs})
  get_filename_component(stem ${svg} NAME_WE)
  quilmo_render_svg(${svg} ${QUILMO_SHARE_DIR}/images/${stem}.png 22)
  quilmo_render_svg(${svg} ${QUILMO_SHARE_DIR}/images/${stem}@2x.png 44)
  if(QUILMO_RSVG_CONVERT)
    install(FILES ${QUILMO_SHARE_DIR}/images/${stem}.png ${QUILMO_SHARE_DIR}/images/${stem}@2x.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/quilmo/images)
  endif()
endforeach()

if(quilmo_rendered_pngs)
  add_custom_target(quilmo_icons ALL DEPENDS ${quilmo_rendered_pngs})
endif()
