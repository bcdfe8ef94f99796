# The three asset files: the logo, drawn here as SVG and rendered at build time, and two fonts
# taken from Debian's font packages (installed by scripts/setup). Nothing binary is committed.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(liberation_sans "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf")
set(display_bold "/usr/share/fonts/opentype/linux-libertine/LinLibertine_RB.otf")
foreach(font ${liberation_sans} ${display_bold})
  if(NOT EXISTS ${font})
    message(FATAL_ERROR "${font} is missing: run scripts/setup (fonts-liberation, fonts-linuxlibertine)")
  endif()
endforeach()

set(asset_dir ${CMAKE_CURRENT_BINARY_DIR})
add_custom_command(OUTPUT ${asset_dir}/logo.png
  COMMAND ${RSVG_CONVERT} -w 660 -h 200 -o ${asset_dir}/logo.png ${CMAKE_CURRENT_SOURCE_DIR}/assets/logo.svg
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/assets/logo.svg VERBATIM)
add_custom_command(OUTPUT ${asset_dir}/LiberationSans-Regular.ttf
  COMMAND ${CMAKE_COMMAND} -E copy ${liberation_sans} ${asset_dir}/LiberationSans-Regular.ttf VERBATIM)
add_custom_command(OUTPUT ${asset_dir}/Fontin-Bold.otf
  COMMAND ${CMAKE_COMMAND} -E copy ${display_bold} ${asset_dir}/Fontin-Bold.otf VERBATIM)
set(VARNHOLT_ASSET_FILES ${asset_dir}/logo.png ${asset_dir}/LiberationSans-Regular.ttf ${asset_dir}/Fontin-Bold.otf)
add_custom_target(varnholt-assets ALL DEPENDS ${VARNHOLT_ASSET_FILES})
