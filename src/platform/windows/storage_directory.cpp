#include "platform/windows/storage_directory.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/windows/wide.h"

namespace velmora::windows {

Result<std::filesystem::path> storageDirectoryPath() {
  wchar_t* folder = nullptr;
  const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
  if (FAILED(result)) {
    ::CoTaskMemFree(folder);
    return win32SystemError("cannot find the Local AppData folder", static_cast<DWORD>(result));
  }
  std::filesystem::path dir(folder);
  ::CoTaskMemFree(folder);
  return dir / kStorageDirectoryName;
}

}  // namespace velmora::windows
