# Completes an AppDir whose usr/ `cmake --install --component setup --strip` has filled: the
# AppRun that starts the program, and the desktop file and icon that the AppImage format asks
# for at the top. Run with -DAPPDIR=<folder> -DICON=<png>.
foreach(required APPDIR ICON)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "appdir.cmake needs -D${required}=...")
  endif()
endforeach()

# The program lies in usr/bin, its libraries in usr/lib (its RUNPATH is $ORIGIN/../lib) and its
# assets in usr/share/varnholt-setup; AppRun works from any folder, mounted or extracted.
file(WRITE "${APPDIR}/AppRun" [[#!/bin/sh
here=$(dirname "$(readlink -f "$0")")
exec "$here/usr/bin/varnholt-setup" "$@"
]])
file(CHMOD "${APPDIR}/AppRun" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)

file(WRITE "${APPDIR}/varnholt-setup.desktop" [[[Desktop Entry]
Type=Application
Name=Varnholt Setup
Comment=Install, update and start Varnholt
Exec=varnholt-setup
Icon=varnholt-setup
Terminal=false
Categories=Game;
]])
file(COPY_FILE "${ICON}" "${APPDIR}/varnholt-setup.png")
file(CREATE_LINK varnholt-setup.png "${APPDIR}/.DirIcon" SYMBOLIC)
