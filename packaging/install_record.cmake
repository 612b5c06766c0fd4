# What `cmake --install` and the uninstall target (uninstall.cmake) share.
# The record the install leaves of what it wrote, which the uninstall goes
# by: the DESTDIR it used, then every regular file it wrote with its SHA-256,
# one a line:
#   destdir=/stage
#   <sha256> /opt/Nelo.AppDir/Contents/PlugIns/velmora-extension/register
# And the files of installed Debian packages, which neither touches.

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

# The files among the arguments (their places on this machine, DESTDIR
# included) that belong to an installed Debian package, as lines
# "\n  package: /file" in ${out}. dpkg names a file by its place below its
# root (DPKG_ROOT, else "/"), so a file outside that root is none of its.
function(velmora_package_files out)
  set(owned "")
  find_program(VELMORA_DPKG_QUERY dpkg-query)
  string(REGEX REPLACE "/+$" "" dpkg_root "$ENV{DPKG_ROOT}")
  set(queried "")
  foreach(file IN LISTS ARGN)
    if(dpkg_root)
      string(FIND "${file}" "${dpkg_root}/" at)
      if(NOT at EQUAL 0)
        continue()
      endif()
      string(LENGTH "${dpkg_root}" length)
      string(SUBSTRING "${file}" ${length} -1 file)
    endif()
    list(APPEND queried "${file}")
  endforeach()
  if(VELMORA_DPKG_QUERY AND queried)
    # Exits 1 when some file belongs to no package, which is what we hope.
    execute_process(COMMAND "${VELMORA_DPKG_QUERY}" -S ${queried}
                    OUTPUT_VARIABLE owners ERROR_QUIET)
    string(REPLACE "\n" ";" owners "${owners}")
    foreach(owner IN LISTS owners)
      # "package[, package]: /path"; diversions are listed too, owning nothing.
      if(owner MATCHES "^[^ :]+(, [^ :]+)*: /" AND NOT owner MATCHES "diversion")
        string(APPEND owned "\n  ${owner}")
      endif()
    endforeach()
  endif()
  set(${out} "${owned}" PARENT_SCOPE)
endfunction()

# Stops an install that would replace a file of an installed Debian package
# before it writes anything: dpkg would not notice, and its next upgrade or
# removal would take what the install wrote. The files are the install's
# destinations, without the DESTDIR.
function(velmora_refuse_package_files)
  velmora_destdir(destdir)
  set(files "")
  foreach(file IN LISTS ARGN)
    list(APPEND files "${destdir}${file}")
  endforeach()
  velmora_package_files(owned ${files})
  if(owned)
    message(FATAL_ERROR "Nothing installed: these files belong to installed Debian packages, "
                        "which apt or dpkg replaces or removes:${owned}\n"
                        "Remove the package first, or install elsewhere with DESTDIR.")
  endif()
endfunction()
