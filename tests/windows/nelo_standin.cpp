// Nelo.exe for the tests of the Windows tools: writes Nelo.started beside
// itself, holding its command line, and a moment later Nelo.outlived. A Nelo
// killed with the browser's job never writes the second file.

#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <string>

namespace {

void writeFile(const std::wstring& path, const std::wstring& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ExitProcess(1);
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), size, nullptr, nullptr);
  utf8.pop_back();
  DWORD written = 0;
  WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int wmain() {
  wchar_t own[MAX_PATH];
  GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring folder = own;
  folder.resize(folder.find_last_of(L'\\'));
  writeFile(folder + L"\\Nelo.started", std::wstring(GetCommandLineW()) + L"\n");
  // Long enough for the browser to close its job after seeing Nelo.started.
  Sleep(1500);
  writeFile(folder + L"\\Nelo.outlived", L"outlived\n");
  return 0;
}
