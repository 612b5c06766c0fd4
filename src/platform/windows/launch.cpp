#include "platform/windows/launch.h"

#include <windows.h>

#include <vector>

#include "platform/os_error.h"
#include "platform/windows/wide.h"

namespace velmora::windows {

std::filesystem::path executablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  const std::wstring module(buffer.begin(), buffer.end());
  // Links and 8.3 names resolved, as the file system names the file.
  const Handle file(::CreateFileW(module.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return module;
  std::vector<wchar_t> final(MAX_PATH);
  DWORD length = ::GetFinalPathNameByHandleW(file.get(), final.data(),
                                             static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
  if (length >= final.size()) {
    final.resize(length + 1);
    length = ::GetFinalPathNameByHandleW(file.get(), final.data(),
                                         static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
  }
  if (length == 0 || length >= final.size()) return module;
  std::wstring resolved(final.data(), length);
  if (resolved.starts_with(L"\\\\?\\UNC\\")) {
    resolved = L"\\\\" + resolved.substr(8);
  } else if (resolved.starts_with(L"\\\\?\\")) {
    resolved = resolved.substr(4);
  }
  return resolved;
}

Result<std::string> openApplication(const std::filesystem::path& applicationFolder) {
  // A relative path would launch whatever lies in the working directory.
  if (applicationFolder.empty() || !applicationFolder.is_absolute()) {
    return fileError("cannot run", applicationFolder / kApplicationName,
                     "the application's place is not known");
  }
  const std::filesystem::path program = applicationFolder / kApplicationName;
  const std::wstring path = win32Path(program);
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return win32Error("cannot run", program, ::GetLastError());
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return win32Error("cannot run", program, ERROR_ACCESS_DENIED);
  }
  std::wstring commandLine = L"\"" + program.native() + L"\"";
  const std::wstring folder = applicationFolder.native();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const auto start = [&](DWORD flags) {
    return ::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr,
                            /*bInheritHandles=*/FALSE, flags, nullptr, folder.c_str(), &startup,
                            &process) != 0;
  };
  constexpr DWORD kDetached = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  std::string note;
  if (!start(kDetached | CREATE_BREAKAWAY_FROM_JOB)) {
    const DWORD error = ::GetLastError();
    // A job that forbids breaking away refuses the flag itself.
    if (error != ERROR_ACCESS_DENIED || !start(kDetached)) {
      return win32Error("cannot start", program, error == ERROR_ACCESS_DENIED ? ::GetLastError() : error);
    }
    note = "Nelo.exe runs inside the browser's job, which forbids leaving it, and ends with it";
  }
  // Never waited for.
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return note;
}

}  // namespace velmora::windows
