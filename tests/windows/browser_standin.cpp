// browser-standin: does on Windows what a browser does to reach a native
// messaging host, for the tests of the registration tool and the installer.
//
//   browser-standin --browser NAME --caller CALLER [--name HOST] [--nelo DIR] MESSAGE...
//
// It looks the host up in the registry in NAME's order (chromium, chrome,
// brave, vivaldi, edge, firefox, librewolf), reads the manifest, checks that
// the manifest allows CALLER, and starts the host inside a job object that
// kills what is left in it when closed and lets processes break away, as
// Chrome and Firefox start hosts: the Chromium family passes the origin and
// --parent-window=0, Firefox the manifest's path and the add-on ID. Each
// MESSAGE goes to the host as one frame, and its reply is printed. Then the
// host's input is closed, the host must end, and the job is closed.
//
// With --nelo DIR, a "command" is expected to have started DIR\Nelo.exe (the
// test's Nelo, which writes Nelo.started and, a moment later, Nelo.outlived):
// the job is closed only once Nelo runs, and Nelo must outlive it.
//
// Exit status: 0 all done and checked; 1 a check failed; 2 a usage error.

#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "../../tools/windows/manifest_json.h"

namespace {

// What a browser does when a frame is longer; Chrome's limit.
constexpr std::uint32_t kMaxReply = 1024 * 1024;

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

void print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

[[noreturn]] void failCheck(const std::string& why) {
  print("FAILED: " + why);
  std::exit(1);
}

// ---------------------------------------------------------------- lookup

// Each browser's keys below HKEY_CURRENT_USER and then HKEY_LOCAL_MACHINE,
// as its maker documents them; Chromium looks at all of a root's keys in
// the 32-bit registry view before the 64-bit one.
struct BrowserRule {
  const char* name;
  bool firefox;
  std::vector<const wchar_t*> keys;
};

const BrowserRule kRules[] = {
    {"chromium", false, {L"Software\\Chromium\\NativeMessagingHosts", L"Software\\Google\\Chrome\\NativeMessagingHosts"}},
    {"chrome", false, {L"Software\\Google\\Chrome\\NativeMessagingHosts"}},
    {"brave", false, {L"Software\\Chromium\\NativeMessagingHosts", L"Software\\Google\\Chrome\\NativeMessagingHosts"}},
    {"vivaldi", false, {L"Software\\Chromium\\NativeMessagingHosts", L"Software\\Google\\Chrome\\NativeMessagingHosts"}},
    {"edge",
     false,
     {L"Software\\Microsoft\\Edge\\NativeMessagingHosts", L"Software\\Chromium\\NativeMessagingHosts",
      L"Software\\Google\\Chrome\\NativeMessagingHosts"}},
    {"firefox", true, {L"Software\\Mozilla\\NativeMessagingHosts"}},
    {"librewolf", true, {L"Software\\Mozilla\\NativeMessagingHosts"}},
};

bool readDefault(HKEY root, const std::wstring& subkey, REGSAM view, std::wstring& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return false;
  wchar_t data[4096];
  DWORD size = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  const LONG status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  data[size / sizeof(wchar_t)] = L'\0';
  value = data;
  return true;
}

std::wstring findManifest(const BrowserRule& rule, const std::wstring& host) {
  struct Place {
    HKEY root;
    const char* name;
    REGSAM view;
  };
  // Firefox reads the user's key in the native view, then the machine's in
  // the 32-bit view and the native one.
  const std::vector<Place> places =
      rule.firefox ? std::vector<Place>{{HKEY_CURRENT_USER, "HKEY_CURRENT_USER", KEY_WOW64_64KEY},
                                        {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", KEY_WOW64_32KEY},
                                        {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", KEY_WOW64_64KEY}}
                   : std::vector<Place>{{HKEY_CURRENT_USER, "HKEY_CURRENT_USER", KEY_WOW64_32KEY},
                                        {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", KEY_WOW64_64KEY},
                                        {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", KEY_WOW64_32KEY},
                                        {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", KEY_WOW64_64KEY}};
  for (const Place& place : places) {
    for (const wchar_t* key : rule.keys) {
      const std::wstring subkey = std::wstring(key) + L"\\" + host;
      std::wstring value;
      if (readDefault(place.root, subkey, place.view, value)) {
        print("registry " + std::string(place.name) + "\\" + narrow(subkey) + " = " + narrow(value));
        return value;
      }
    }
  }
  failCheck("native messaging host " + narrow(host) + " is not registered");
}

std::string readFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) failCheck("cannot read the manifest " + narrow(path));
  std::string content;
  char buffer[8192];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
  CloseHandle(file);
  return content;
}

// ---------------------------------------------------------------- process

// Quotes one argument so that the C runtime's parsing gives it back as is.
std::wstring quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

void writeAll(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) || written == 0) {
      failCheck("the host stopped reading");
    }
    bytes.remove_prefix(written);
  }
}

bool readAll(HANDLE handle, char* into, std::size_t size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(handle, into, static_cast<DWORD>(size), &got, nullptr) || got == 0) return false;
    into += got;
    size -= got;
  }
  return true;
}

bool waitForFile(const std::wstring& path, DWORD milliseconds) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
  return true;
}

HANDLE watchedJob = nullptr;
HANDLE exchangeDone = nullptr;

// A host that hangs ends the test instead of blocking it: its job is ended,
// which breaks the pipes.
DWORD WINAPI watchdog(void*) {
  if (WaitForSingleObject(exchangeDone, 30000) == WAIT_TIMEOUT) {
    print("FAILED: the host did not answer within 30 seconds");
    TerminateJobObject(watchedJob, 1);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Lines end in \n alone, for the tests that read them.
  _setmode(_fileno(stdout), _O_BINARY);
  std::string browser;
  std::string caller;
  std::wstring host = L"local.velmora.extension";
  std::wstring neloFolder;
  std::vector<std::string> messages;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == L"--browser" && hasValue) {
      browser = narrow(argv[++i]);
    } else if (arg == L"--caller" && hasValue) {
      caller = narrow(argv[++i]);
    } else if (arg == L"--name" && hasValue) {
      host = argv[++i];
    } else if (arg == L"--nelo" && hasValue) {
      neloFolder = argv[++i];
    } else if (arg.rfind(L"--", 0) == 0) {
      std::fputs("usage: browser-standin --browser NAME --caller CALLER [--name HOST] [--nelo DIR] MESSAGE...\n",
                 stderr);
      return 2;
    } else {
      messages.push_back(narrow(arg));
    }
  }
  const BrowserRule* rule = nullptr;
  for (const BrowserRule& candidate : kRules) {
    if (browser == candidate.name) rule = &candidate;
  }
  if (!rule || caller.empty()) {
    std::fputs("browser-standin: --browser must name a known browser, and --caller is needed\n", stderr);
    return 2;
  }

  const std::wstring manifestPath = findManifest(*rule, host);
  if (manifestPath.size() < 3 || manifestPath[1] != L':') failCheck("the manifest's path is not absolute");
  velmora::json::Value manifest;
  velmora::json::Reader reader;
  if (!reader.parse(readFile(manifestPath), manifest)) failCheck("the manifest is not JSON: " + reader.error());
  const std::string* name = manifest.stringMember("name");
  const std::string* type = manifest.stringMember("type");
  const std::string* path = manifest.stringMember("path");
  if (!name || widen(*name) != host) failCheck("the manifest names another host");
  if (!type || *type != "stdio") failCheck("the manifest's type is not stdio");
  if (!path || path->empty()) failCheck("the manifest names no host path");
  const velmora::json::Value* allowed = manifest.member(rule->firefox ? "allowed_extensions" : "allowed_origins");
  bool allows = false;
  if (allowed && allowed->kind == velmora::json::Value::Kind::Array) {
    for (const velmora::json::Value& item : allowed->items) {
      allows = allows || (item.kind == velmora::json::Value::Kind::String && item.text == caller);
    }
  }
  if (!allows) failCheck("access to the native messaging host is forbidden for " + caller);

  // A relative host path is taken from the manifest's folder, on Windows only.
  std::wstring program = widen(*path);
  if (!(program.size() >= 3 && program[1] == L':') && program.rfind(L"\\\\", 0) != 0) {
    program = manifestPath.substr(0, manifestPath.find_last_of(L'\\') + 1) + program;
  }
  std::wstring command = quote(program);
  if (rule->firefox) {
    command += L" " + quote(manifestPath) + L" " + quote(widen(caller));
  } else {
    command += L" " + quote(widen(caller)) + L" --parent-window=0";
  }
  print("start " + narrow(command));

  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    failCheck("cannot make a job object");
  }

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE hostInput = nullptr;
  HANDLE toHost = nullptr;
  HANDLE fromHost = nullptr;
  HANDLE hostOutput = nullptr;
  HANDLE hostError = nullptr;
  if (!CreatePipe(&hostInput, &toHost, &inherit, 0) || !CreatePipe(&fromHost, &hostOutput, &inherit, 0) ||
      !DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &hostError, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    failCheck("cannot make the pipes");
  }
  SetHandleInformation(toHost, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(fromHost, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = hostInput;
  startup.hStdOutput = hostOutput;
  startup.hStdError = hostError;
  PROCESS_INFORMATION process{};
  const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                      nullptr, folder.c_str(), &startup, &process)) {
    failCheck("failed to start native messaging host, error " + std::to_string(GetLastError()));
  }
  if (!AssignProcessToJobObject(job, process.hProcess)) {
    TerminateProcess(process.hProcess, 1);
    failCheck("cannot put the host into the job, error " + std::to_string(GetLastError()));
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  CloseHandle(hostInput);
  CloseHandle(hostOutput);
  CloseHandle(hostError);

  watchedJob = job;
  exchangeDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE watcher = CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);
  bool ok = true;
  for (const std::string& message : messages) {
    print("request " + message);
    const auto length = static_cast<std::uint32_t>(message.size());
    writeAll(toHost, std::string_view(reinterpret_cast<const char*>(&length), sizeof length));
    writeAll(toHost, message);
    std::uint32_t size = 0;
    if (!readAll(fromHost, reinterpret_cast<char*>(&size), sizeof size)) {
      print("FAILED: the host ended without a reply");
      ok = false;
      break;
    }
    if (size > kMaxReply) {
      print("FAILED: a reply of " + std::to_string(size) + " bytes");
      ok = false;
      break;
    }
    std::string reply(size, '\0');
    if (!readAll(fromHost, reply.data(), size)) {
      print("FAILED: the reply was cut short");
      ok = false;
      break;
    }
    print("reply " + reply);
  }
  // Closing the host's input is how a browser says goodbye; the host must end.
  CloseHandle(toHost);
  if (WaitForSingleObject(process.hProcess, 10000) == WAIT_TIMEOUT) {
    print("FAILED: the host did not end when its input was closed");
    ok = false;
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  print("host ended with status " + std::to_string(status));
  if (status != 0) ok = false;
  SetEvent(exchangeDone);
  WaitForSingleObject(watcher, INFINITE);
  CloseHandle(fromHost);
  CloseHandle(process.hProcess);

  if (neloFolder.empty()) {
    CloseHandle(job);
    print("job closed");
    return ok ? 0 : 1;
  }
  // Nelo must be running before the job goes, or its outliving proves nothing.
  if (!waitForFile(neloFolder + L"\\Nelo.started", 10000)) {
    CloseHandle(job);
    failCheck("Nelo.exe did not start");
  }
  CloseHandle(job);
  print("job closed while Nelo runs");
  if (!waitForFile(neloFolder + L"\\Nelo.outlived", 10000)) failCheck("Nelo.exe ended with the job");
  print("Nelo outlived the job");
  return ok ? 0 : 1;
}
