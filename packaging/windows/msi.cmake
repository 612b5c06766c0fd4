# The sources of the Windows installer: a manifest for every registry key of
# each browser family among the allowed callers, and the .wxs that installs
# them with the host and velmora-register.exe. CMakeLists.txt includes this
# file; scripts/build-msi.sh runs it as a script:
#
#   cmake -DVELMORA_MSI_DIR=DIR -DVELMORA_ALLOWED_CALLERS='ORIGIN;ADDON-ID' \
#         -DVELMORA_MSI_VERSION=0.1.0 -P msi.cmake
#
# The manifests are those velmora-register.exe writes with --system --browser
# all, with one difference: the host's path is relative, "velmora-extension.exe",
# which Windows browsers take from the manifest's own folder. Windows Installer
# copies files as they are and cannot write the folder it installs into
# inside one, and %ProgramFiles% is not C:\Program Files everywhere.

# Each key: the file name part, the key below HKLM, the family, the
# component's GUID (fixed, as Windows Installer tracks components by it).
set(velmora_msi_keys
    "google-chrome|Software\\Google\\Chrome\\NativeMessagingHosts|chromium|{5C3F70CB-EE64-4F1C-BA9C-3DC6AB8FE823}"
    "chromium|Software\\Chromium\\NativeMessagingHosts|chromium|{29FC5D35-0BE8-4C01-93FF-673E2C8E908F}"
    "microsoft-edge|Software\\Microsoft\\Edge\\NativeMessagingHosts|chromium|{DA6015C1-1113-477A-B03A-36A4AAC7E3D3}"
    "mozilla|Software\\Mozilla\\NativeMessagingHosts|firefox|{8A3FB2B6-DA56-4B17-B6E3-613EE6261D0F}")

# Writes the manifests and velmora-extension.wxs into dir, refusing the
# callers velmora-register refuses.
function(velmora_msi_sources dir callers version)
  # CMake's regular expressions have no counted repetition.
  string(REPEAT "[a-p]" 32 extension_id)
  string(REPEAT "[0-9a-fA-F]" 4 hex4)
  set(guid_pattern "{${hex4}${hex4}-${hex4}-${hex4}-${hex4}-${hex4}${hex4}${hex4}}")
  set(origins "")
  set(addon_ids "")
  foreach(caller IN LISTS callers)
    if(caller MATCHES "^chrome-extension:")
      if(NOT caller MATCHES "^chrome-extension://${extension_id}/$")
        message(FATAL_ERROR "invalid extension origin \"${caller}\": expected chrome-extension://ID/ with a 32-letter ID of a to p")
      endif()
      string(APPEND origins ",\n    \"${caller}\"")
    elseif(caller MATCHES "^(${guid_pattern}|[a-zA-Z0-9._-]*@[a-zA-Z0-9._-]+)$")
      string(APPEND addon_ids ",\n    \"${caller}\"")
    else()
      message(FATAL_ERROR "invalid caller \"${caller}\": expected chrome-extension://ID/ or a Firefox add-on ID (name@domain or {GUID})")
    endif()
  endforeach()
  string(REGEX REPLACE "^,\n" "" origins "${origins}")
  string(REGEX REPLACE "^,\n" "" addon_ids "${addon_ids}")

  file(REMOVE_RECURSE "${dir}")
  set(components "")
  set(refs "")
  foreach(entry IN LISTS velmora_msi_keys)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 slug)
    list(GET fields 1 key)
    list(GET fields 2 family)
    list(GET fields 3 guid)
    if(family STREQUAL "chromium")
      set(velmora_member allowed_origins)
      set(velmora_callers "${origins}")
    else()
      set(velmora_member allowed_extensions)
      set(velmora_callers "${addon_ids}")
    endif()
    if(velmora_callers STREQUAL "")
      continue()
    endif()
    set(file "local.velmora.extension.${slug}.json")
    configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/manifest.json.in" "${dir}/${file}" @ONLY)
    string(MAKE_C_IDENTIFIER "Manifest_${slug}" id)
    string(APPEND components
           "                <Component Id=\"${id}\" Guid=\"${guid}\" Win64=\"yes\">\n"
           "                  <File Id=\"${id}\" Name=\"${file}\" Source=\"${file}\" KeyPath=\"yes\" />\n"
           "                  <RegistryValue Root=\"HKLM\" Key=\"${key}\\local.velmora.extension\" Type=\"string\"\n"
           "                                 Value=\"[INSTALLDIR]${file}\" />\n"
           "                </Component>\n")
    string(APPEND refs "      <ComponentRef Id=\"${id}\" />\n")
  endforeach()
  string(REGEX REPLACE "\n$" "" VELMORA_MSI_MANIFEST_COMPONENTS "${components}")
  string(REGEX REPLACE "\n$" "" VELMORA_MSI_MANIFEST_REFS "${refs}")
  set(VELMORA_MSI_VERSION "${version}")
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/velmora-extension.wxs.in" "${dir}/velmora-extension.wxs" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT VELMORA_MSI_DIR OR NOT VELMORA_MSI_VERSION)
    message(FATAL_ERROR "usage: cmake -DVELMORA_MSI_DIR=DIR -DVELMORA_ALLOWED_CALLERS=CALLERS -DVELMORA_MSI_VERSION=X.Y.Z -P msi.cmake")
  endif()
  velmora_msi_sources("${VELMORA_MSI_DIR}" "${VELMORA_ALLOWED_CALLERS}" "${VELMORA_MSI_VERSION}")
endif()
