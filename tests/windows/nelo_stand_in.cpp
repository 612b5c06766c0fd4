// Stands in for Nelo.exe in the Windows tests: writes what it was started
// with to record.txt beside itself and ends, or stays a while when a file
// named "hold" lies there. A file named "handle" holds the number of a
// handle of its starter's, which it must not have inherited. Nothing else on
// the machine is started.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char**) {
  wchar_t self[32768];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, 32768);
  const std::filesystem::path folder = std::filesystem::path(std::wstring(self, length)).parent_path();
  const auto handle = [](DWORD which) {
    const HANDLE h = ::GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE;
  };
  const bool std = handle(STD_INPUT_HANDLE) || handle(STD_OUTPUT_HANDLE) || handle(STD_ERROR_HANDLE);
  bool leaked = false;
  if (std::ifstream number{folder / "handle"}) {
    unsigned long long value = 0;
    DWORD flags = 0;
    leaked = (number >> value) &&
             ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != 0;
  }
  BOOL inJob = FALSE;
  ::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob);
  {
    std::ofstream(folder / "record.tmp")
        << "args=" << argc - 1 << " std=" << (std ? "some" : "none")
        << " console=" << (::GetConsoleWindow() != nullptr ? "yes" : "no")
        << " job=" << (inJob ? "yes" : "no") << " leaked=" << (leaked ? "yes" : "no")
        << " pid=" << ::GetCurrentProcessId() << "\n";
  }
  ::MoveFileExW((folder / "record.tmp").c_str(), (folder / "record.txt").c_str(),
                MOVEFILE_REPLACE_EXISTING);
  if (std::filesystem::exists(folder / "hold")) ::Sleep(10000);
  return 0;
}
