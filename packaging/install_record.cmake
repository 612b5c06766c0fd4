# The record that `cmake --install` leaves of what it wrote, which the
# uninstall target (uninstall.cmake) goes by: the DESTDIR it used, then every
# regular file it wrote with its SHA-256, one a line:
#   destdir=/stage
#   <sha256> /opt/Nelo.AppDir/Contents/PlugIns/velmora-extension/register

# The DESTDIR of this run, absolute, without a trailing "/"; empty when none.
# A relative one is taken from the caller's folder, as cmake --install does.
function(velmora_destdir out)
  set(destdir "$ENV{DESTDIR}")
  if(destdir)
    get_filename_component(destdir "${destdir}" ABSOLUTE BASE_DIR "$ENV{PWD}")
    string(REGEX REPLACE "/+$" "" destdir "${destdir}")
  endif()
  set(${out} "${destdir}" PARENT_SCOPE)
endfunction()

# Writes the record of the files the install scripts have installed so far
# (CMAKE_INSTALL_MANIFEST_FILES, destinations without the DESTDIR).
function(velmora_write_install_record record)
  velmora_destdir(destdir)
  set(text "destdir=${destdir}\n")
  foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    if(NOT IS_SYMLINK "${destdir}${file}" AND EXISTS "${destdir}${file}"
       AND NOT IS_DIRECTORY "${destdir}${file}")
      file(SHA256 "${destdir}${file}" hash)
      string(APPEND text "${hash} ${file}\n")
    endif()
  endforeach()
  file(WRITE "${record}" "${text}")
endfunction()
