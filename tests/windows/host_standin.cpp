// A stand-in for velmora-extension.exe in the tests of the Windows tools, for
// running them before the Windows host exists or without building it: it
// answers --version as the host does, replies to "saveSnapshot" with the
// number of tabs, starts the Nelo.exe three folders above its own folder for
// a "command", as the host does (breaking away from the browser's job), and
// echoes any other frame. It stores nothing.

#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "../../tools/windows/manifest_json.h"

namespace {

void writeAll(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) || written == 0) {
      ExitProcess(1);
    }
    bytes.remove_prefix(written);
  }
}

// Reads exactly size bytes; false at the end of the input.
bool readAll(HANDLE handle, char* into, std::size_t size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(handle, into, static_cast<DWORD>(size), &got, nullptr) || got == 0) return false;
    into += got;
    size -= got;
  }
  return true;
}

void log(std::string_view line) {
  writeAll(GetStdHandle(STD_ERROR_HANDLE), std::string("local.velmora[extension-standin] ") + std::string(line) + "\n");
}

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }

// Starts Nelo detached, without our handles, outside the browser's job when
// the job allows it, and does not wait for it.
void launchNelo() {
  wchar_t own[MAX_PATH];
  GetModuleFileNameW(nullptr, own, MAX_PATH);
  const std::wstring application = folderOf(folderOf(folderOf(folderOf(own))));
  const std::wstring nelo = application + L"\\Nelo.exe";
  std::wstring command = L"\"" + nelo + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB;
  BOOL started = CreateProcessW(nelo.c_str(), command.data(), nullptr, nullptr, FALSE, flags, nullptr,
                                application.c_str(), &startup, &process);
  if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
    log("the job forbids breaking away: Nelo ends with the browser's job");
    flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
    started = CreateProcessW(nelo.c_str(), command.data(), nullptr, nullptr, FALSE, flags, nullptr,
                             application.c_str(), &startup, &process);
  }
  if (!started) {
    log("cannot start Nelo.exe, error " + std::to_string(GetLastError()));
    return;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

std::string reply(const std::string& message) {
  velmora::json::Value value;
  velmora::json::Reader reader;
  if (!reader.parse(message, value)) return message;
  const std::string* action = value.stringMember("action");
  if (action && *action == "saveSnapshot") {
    const velmora::json::Value* tabs = value.member("tabs");
    const std::size_t count = tabs && tabs->kind == velmora::json::Value::Kind::Array ? tabs->items.size() : 0;
    return "{\"ok\":true,\"count\":" + std::to_string(count) + ",\"badge\":{}}";
  }
  if (action && *action == "command") {
    launchNelo();
    return "{\"ok\":true,\"message\":\"Nelo wird geöffnet\"}";
  }
  return message;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring_view(argv[1]) == L"--version") {
    writeAll(GetStdHandle(STD_OUTPUT_HANDLE), "velmora-extension 0.1.0\n");
    return 0;
  }
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) {
    writeAll(GetStdHandle(STD_ERROR_HANDLE), "velmora-extension stand-in: started by a browser, not by hand\n");
    return 2;
  }
  for (;;) {
    std::uint32_t size = 0;
    if (!readAll(input, reinterpret_cast<char*>(&size), sizeof size)) return 0;
    std::string message(size, '\0');
    if (!readAll(input, message.data(), size)) return 1;
    const std::string answer = reply(message);
    const auto length = static_cast<std::uint32_t>(answer.size());
    writeAll(output, std::string_view(reinterpret_cast<const char*>(&length), sizeof length));
    writeAll(output, answer);
  }
}
