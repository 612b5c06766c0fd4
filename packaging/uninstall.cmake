# Removes the files that `cmake --install` listed in install_manifest.txt,
# then every folder that this left empty, up to the first one still in use;
# the standard folders of the file system stay.
#   cmake -DVELMORA_INSTALL_MANIFEST=BUILD/install_manifest.txt -P uninstall.cmake
if(NOT EXISTS "${VELMORA_INSTALL_MANIFEST}")
  message(FATAL_ERROR "${VELMORA_INSTALL_MANIFEST} is missing: nothing was installed from this build folder")
endif()

set(destdir "$ENV{DESTDIR}")
set(kept "")
foreach(folder / /etc /etc/opt /opt /usr /usr/lib /usr/local /usr/share /usr/share/doc /usr/share/lintian
               /usr/share/lintian/overrides)
  string(REGEX REPLACE "/$" "" folder "${destdir}${folder}")
  list(APPEND kept "${folder}")
endforeach()

file(STRINGS "${VELMORA_INSTALL_MANIFEST}" installed)
set(folders "")
foreach(file IN LISTS installed)
  # The manifest names absolute destinations without the DESTDIR.
  string(FIND "${file}" "${destdir}/" at)
  if(destdir AND NOT at EQUAL 0)
    set(file "${destdir}${file}")
  endif()
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    file(REMOVE "${file}")
    message(STATUS "Removed ${file}")
  endif()
  get_filename_component(folder "${file}" DIRECTORY)
  list(APPEND folders "${folder}")
endforeach()

list(REMOVE_DUPLICATES folders)
foreach(folder IN LISTS folders)
  while(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}")
    list(FIND kept "${folder}" at)
    if(NOT at EQUAL -1)
      break()
    endif()
    file(GLOB children LIST_DIRECTORIES true "${folder}/*" "${folder}/.*")
    if(children)
      break()
    endif()
    # Empty, as just seen: file(REMOVE) takes no folders.
    file(REMOVE_RECURSE "${folder}")
    message(STATUS "Removed ${folder}/")
    get_filename_component(folder "${folder}" DIRECTORY)
  endwhile()
endforeach()
file(REMOVE "${VELMORA_INSTALL_MANIFEST}")
