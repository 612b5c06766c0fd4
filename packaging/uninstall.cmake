# Removes what `cmake --install` wrote, as its record lists it
# (install_record.cmake), then every folder that this left empty, up to the
# first one still in use; the standard folders of the file system stay.
#   cmake -DVELMORA_INSTALL_RECORD=BUILD/install_record.txt -P uninstall.cmake
# Only files that are still what the install wrote go. It refuses, removing
# nothing, when run with another DESTDIR than the install's, and when a file
# belongs to a Debian package: a forgotten DESTDIR must not take a package's
# files, which dpkg would not bring back (it takes a deleted conffile for the
# administrator's choice).
include("${CMAKE_CURRENT_LIST_DIR}/install_record.cmake")

if(NOT EXISTS "${VELMORA_INSTALL_RECORD}")
  message(FATAL_ERROR "${VELMORA_INSTALL_RECORD} is missing: nothing was installed from this build folder")
endif()

file(STRINGS "${VELMORA_INSTALL_RECORD}" recorded)
list(POP_FRONT recorded first)
string(REGEX REPLACE "^destdir=" "" installed_destdir "${first}")
velmora_destdir(destdir)
if(NOT destdir STREQUAL installed_destdir)
  if(installed_destdir)
    set(then "with DESTDIR=${installed_destdir}")
    set(again "DESTDIR=${installed_destdir} ")
  else()
    set(then "without DESTDIR")
    set(again "")
  endif()
  if(destdir)
    set(now "with DESTDIR=$ENV{DESTDIR}")
  else()
    set(now "without DESTDIR")
  endif()
  message(FATAL_ERROR "Nothing removed: this build folder was installed ${then}, but the uninstall "
                      "ran ${now}. Run it as the install ran:\n"
                      "  ${again}cmake --build <build folder> --target uninstall")
endif()

# What is to go: the regular files still as the install wrote them.
set(removable "")
foreach(line IN LISTS recorded)
  string(SUBSTRING "${line}" 0 64 hash)
  string(SUBSTRING "${line}" 65 -1 file)
  set(file "${destdir}${file}")
  if(IS_SYMLINK "${file}" OR NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    if(EXISTS "${file}" OR IS_SYMLINK "${file}")
      message(STATUS "Kept ${file}: no longer the file that was installed")
    endif()
    continue()
  endif()
  file(SHA256 "${file}" now_hash)
  if(NOT now_hash STREQUAL hash)
    message(STATUS "Kept ${file}: changed since it was installed")
    continue()
  endif()
  list(APPEND removable "${file}")
endforeach()

if(removable)
  velmora_package_files(owned ${removable})
  if(owned)
    message(FATAL_ERROR "Nothing removed: these files belong to installed Debian packages, "
                        "which apt or dpkg removes:${owned}")
  endif()
endif()

set(kept "")
foreach(folder / /etc /etc/opt /opt /usr /usr/lib /usr/local /usr/share /usr/share/doc /usr/share/lintian
               /usr/share/lintian/overrides)
  string(REGEX REPLACE "/$" "" folder "${destdir}${folder}")
  list(APPEND kept "${folder}")
endforeach()

set(folders "")
foreach(file IN LISTS removable)
  file(REMOVE "${file}")
  message(STATUS "Removed ${file}")
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
get_filename_component(build "${VELMORA_INSTALL_RECORD}" DIRECTORY)
file(REMOVE "${VELMORA_INSTALL_RECORD}" "${build}/install_manifest.txt")
