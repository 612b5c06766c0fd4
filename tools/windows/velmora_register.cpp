// velmora-register: registers velmora-extension as a native messaging host with
// the browsers on Windows, removes the registration, or tells what is
// registered. The Windows counterpart of packaging/register, with the same
// options and exit statuses where they apply.

#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
// Defines the known folder IDs here rather than needing libuuid.
#include <initguid.h>
#include <knownfolders.h>
#include <msi.h>
#include <shlobj.h>
#include <winver.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest_json.h"

namespace {

constexpr char kUsage[] =
    "Registers velmora-extension as a native messaging host with the browsers,\n"
    "removes the registration, or tells what is registered.\n"
    "\n"
    "  velmora-register [options] CALLER...    write the host manifests\n"
    "  velmora-register [options] --remove     remove them\n"
    "  velmora-register [options] --status     list what each browser would find\n"
    "\n"
    "A CALLER is a Chromium-family extension origin (chrome-extension://ID/) or a\n"
    "Firefox add-on ID (name@domain, or a GUID in braces). A browser gets a\n"
    "manifest only when one of its family's callers is given, and, unless named\n"
    "with --browser, only when it is installed (registered with Windows, or it\n"
    "has run for this user).\n"
    "\n"
    "Browsers: chromium, chrome (Google Chrome), brave, vivaldi, edge (Microsoft\n"
    "Edge), firefox (Firefox and Firefox ESR), librewolf.\n"
    "\n"
    "On Windows a browser finds a host through a registry key whose default value\n"
    "names the manifest. For the current user the keys are under\n"
    "HKEY_CURRENT_USER and the manifests in %LOCALAPPDATA%\\Velmora\\NativeMessagingHosts;\n"
    "with --system the keys are under HKEY_LOCAL_MACHINE and the manifests beside\n"
    "the host. Chromium, Brave and Vivaldi read Chromium's key and then Google\n"
    "Chrome's, Microsoft Edge its own and then those two; Brave and Vivaldi have no\n"
    "key of their own and are registered under Google Chrome's. Firefox and\n"
    "LibreWolf read Mozilla's.\n"
    "\n"
    "From an elevated prompt without --system, it registers for the user the\n"
    "prompt runs as. A manifest that the MSI installed is neither replaced nor\n"
    "removed. The host must answer --version as velmora-extension does.\n"
    "\n"
    "Options:\n"
    "  --browser NAME       only this browser, installed or not; may be repeated,\n"
    "                       or NAME may be a comma-separated list, or \"all\"\n"
    "  --system             for every user of this computer (needs an elevated\n"
    "                       prompt) instead of the current user\n"
    "  --host PATH          the host executable (default: the velmora-extension.exe\n"
    "                       beside this program)\n"
    "  --name NAME          the host name (default local.velmora.extension)\n"
    "  --remove             remove what velmora-register wrote (from every browser's\n"
    "                       key unless --browser is given)\n"
    "  --status             a table of every browser's manifests, for both the\n"
    "                       current user and the system, the host, the\n"
    "                       application it starts and its storage folder, to\n"
    "                       paste into a report\n"
    "  --quiet              do not list what was written or removed\n"
    "\n"
    "Exit status: 0 done; 1 no installed browser takes the callers; 2 refused or\n"
    "failed.\n";

constexpr char kProgram[] = "velmora-register";
constexpr char kDefaultName[] = "local.velmora.extension";
constexpr char kDescription[] = "Velmora tab snapshots and commands for Nelo";
constexpr wchar_t kHostFile[] = L"velmora-extension.exe";

// ---------------------------------------------------------------- text

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

// UTF-8 of text, or nothing when it holds a lone surrogate.
std::optional<std::string> narrowStrict(std::wstring_view text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
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

std::wstring lower(std::wstring text) {
  CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

// Windows paths compare without regard to case.
bool samePath(const std::wstring& a, const std::wstring& b) { return lower(a) == lower(b); }

// A console shows UTF-16; a pipe or file gets UTF-8, as tests and reports
// read it.
void write(DWORD which, std::string_view text) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    const std::wstring wide = widen(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  while (!text.empty()) {
    DWORD written = 0;
    if (!WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

void out(std::string_view text) { write(STD_OUTPUT_HANDLE, text); }

std::string systemText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD size = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = size ? std::wstring(buffer, size) : L"error " + std::to_wstring(error);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
    text.pop_back();
  return narrow(text);
}

struct Refusal {
  std::string message;
};

[[noreturn]] void fail(const std::string& message) { throw Refusal{message}; }

// Manifests are JSON, which must be UTF-8, and a control character in a path
// or caller would end up in a manifest.
std::string checkText(const std::string& what, std::wstring_view text) {
  const std::optional<std::string> utf8 = narrowStrict(text);
  if (!utf8) fail(what + " is not UTF-8 text");
  if (utf8->find('\n') != std::string::npos) fail(what + " holds a line break");
  for (wchar_t c : text) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) fail(what + " holds a control character");
  }
  return *utf8;
}

// Chromium accepts only dot-separated segments of lower-case letters, digits
// and underscores as a host name.
bool validName(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  char previous = '\0';
  for (char c : name) {
    if (c == '.' && previous == '.') return false;
    if (c != '.' && c != '_' && !(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9')) return false;
    previous = c;
  }
  return true;
}

// An extension ID is 32 letters from a to p; the origin ends in a slash.
bool validOrigin(std::string_view caller) {
  constexpr std::string_view prefix = "chrome-extension://";
  if (caller.size() != prefix.size() + 33 || caller.substr(0, prefix.size()) != prefix || caller.back() != '/')
    return false;
  const std::string_view id = caller.substr(prefix.size(), 32);
  return std::all_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'p'; });
}

// Firefox add-on IDs are email-like or a GUID in braces, in either case.
bool validAddonId(std::string_view caller) {
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  if (caller.size() == 38 && caller.front() == '{' && caller.back() == '}') {
    for (std::size_t i = 1; i < 37; ++i) {
      const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
      if (dash ? caller[i] != '-' : !hex(caller[i])) return false;
    }
    return true;
  }
  auto idChar = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  };
  const std::size_t at = caller.find('@');
  if (at == std::string_view::npos || at + 1 == caller.size()) return false;
  for (std::size_t i = 0; i < caller.size(); ++i) {
    if (i != at && !idChar(caller[i])) return false;
  }
  return true;
}

// Quotes a string for JSON; only backslash and double quote can occur, since
// control characters are refused before.
std::string jsonString(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// ---------------------------------------------------------------- browsers

// The registry keys the browsers read, below HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE. Each key's manifest is a file of its own, so that each
// key keeps its own callers, as each browser's folder does on Linux.
enum class Family { Chromium, Firefox };
enum Key { kChrome, kChromium, kEdge, kMozilla, kKeyCount };
struct KeyInfo {
  const wchar_t* path;
  const char* slug;  // names the manifest file
  Family family;
  // The MSI's component that installs this key's manifest, as
  // packaging/windows/msi.cmake names it; the test installs the MSI and
  // checks that register leaves what it installed alone.
  const wchar_t* msiComponent;
};
constexpr KeyInfo kKeys[kKeyCount] = {
    {L"Software\\Google\\Chrome\\NativeMessagingHosts", "google-chrome", Family::Chromium,
     L"{5C3F70CB-EE64-4F1C-BA9C-3DC6AB8FE823}"},
    {L"Software\\Chromium\\NativeMessagingHosts", "chromium", Family::Chromium,
     L"{29FC5D35-0BE8-4C01-93FF-673E2C8E908F}"},
    {L"Software\\Microsoft\\Edge\\NativeMessagingHosts", "microsoft-edge", Family::Chromium,
     L"{DA6015C1-1113-477A-B03A-36A4AAC7E3D3}"},
    {L"Software\\Mozilla\\NativeMessagingHosts", "mozilla", Family::Firefox,
     L"{8A3FB2B6-DA56-4B17-B6E3-613EE6261D0F}"},
};

// The browsers known here, in the order and with the names of packaging/register.
// Its table is not shared with this one: beyond the names the two have no
// field in common (folders and programs there, registry keys, lookup orders
// and registered programs here), and the shell script would need a parser for
// a shared file that this program embeds at build time. The test compares the
// browser lists of both tools instead.
//
// "reads" is the order in which a browser looks at the keys, each first in
// the 32-bit registry view and then the 64-bit one, all of HKEY_CURRENT_USER
// before HKEY_LOCAL_MACHINE. Chromium builds other than Google Chrome read
// Chromium's key and then Chrome's; Edge its own, then those two; Firefox
// and LibreWolf only Mozilla's. "writes" is the key registered for the
// browser: Brave and Vivaldi have none of their own and get Chrome's.
struct Browser {
  const char* key;
  const char* label;
  Family family;
  Key writes;
  std::vector<Key> reads;
  const wchar_t* program;  // as registered under App Paths
  const wchar_t* programFolder;  // part of the registered path, where two browsers share a program name
  KNOWNFOLDERID profileBase;
  const wchar_t* marker;  // a file the browser leaves once it has run
};

const std::vector<Browser>& browsers() {
  static const std::vector<Browser> table = {
      {"chromium", "Chromium", Family::Chromium, kChromium, {kChromium, kChrome}, L"chrome.exe", L"\\Chromium\\",
       FOLDERID_LocalAppData, L"Chromium\\User Data\\Local State"},
      {"chrome", "Google Chrome", Family::Chromium, kChrome, {kChrome}, L"chrome.exe", L"\\Google\\Chrome\\",
       FOLDERID_LocalAppData, L"Google\\Chrome\\User Data\\Local State"},
      {"brave", "Brave", Family::Chromium, kChrome, {kChromium, kChrome}, L"brave.exe", L"",
       FOLDERID_LocalAppData, L"BraveSoftware\\Brave-Browser\\User Data\\Local State"},
      {"vivaldi", "Vivaldi", Family::Chromium, kChrome, {kChromium, kChrome}, L"vivaldi.exe", L"",
       FOLDERID_LocalAppData, L"Vivaldi\\User Data\\Local State"},
      {"edge", "Microsoft Edge", Family::Chromium, kEdge, {kEdge, kChromium, kChrome}, L"msedge.exe", L"",
       FOLDERID_LocalAppData, L"Microsoft\\Edge\\User Data\\Local State"},
      {"firefox", "Firefox", Family::Firefox, kMozilla, {kMozilla}, L"firefox.exe", L"", FOLDERID_RoamingAppData,
       L"Mozilla\\Firefox\\profiles.ini"},
      {"librewolf", "LibreWolf", Family::Firefox, kMozilla, {kMozilla}, L"librewolf.exe", L"",
       FOLDERID_RoamingAppData, L"librewolf\\profiles.ini"},
  };
  return table;
}

const Browser* findBrowser(std::string_view key) {
  for (const Browser& browser : browsers()) {
    if (browser.key == key) return &browser;
  }
  return nullptr;
}

// ---------------------------------------------------------------- system

std::wstring knownFolder(const KNOWNFOLDERID& id) {
  wchar_t* path = nullptr;
  if (const HRESULT result = SHGetKnownFolderPath(id, 0, nullptr, &path); FAILED(result)) {
    CoTaskMemFree(path);
    fail("cannot find the user's application data folder: " + systemText(static_cast<DWORD>(result)));
  }
  std::wstring result = path;
  CoTaskMemFree(path);
  return result;
}

std::wstring ownPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (size < path.size()) {
      path.resize(size);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring folderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring fullPath(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) fail("cannot find the full path of " + narrow(path) + ": " + systemText(GetLastError()));
  std::wstring full(size, L'\0');
  const DWORD used = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  full.resize(used);
  return full;
}

bool isFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The path of the file itself, links and short names resolved, to tell
// whether two names are one file.
std::wstring finalPath(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return path;
  std::wstring result(1024, L'\0');
  const DWORD size = GetFinalPathNameByHandleW(file, result.data(), static_cast<DWORD>(result.size()), 0);
  CloseHandle(file);
  if (size == 0 || size >= result.size()) return path;
  result.resize(size);
  // The answer has the \\?\ prefix of long paths, which people do not write.
  if (result.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + result.substr(7);
  if (result.rfind(L"\\\\?\\", 0) == 0) return result.substr(4);
  return result;
}

bool isAdministrator() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member;
}

void makeFolders(const std::wstring& folder) {
  if (folder.empty() || isDirectory(folder)) return;
  makeFolders(folderOf(folder));
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    fail("cannot create " + narrow(folder) + ": " + systemText(GetLastError()));
  }
}

std::optional<std::string> readFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string content;
  char buffer[8192];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) content.append(buffer, got);
  CloseHandle(file);
  if (!ok) return std::nullopt;
  return content;
}

// ---------------------------------------------------------------- registry

struct Scope {
  HKEY root;
  const char* name;  // as the registry editor shows it
  bool system;
};
const Scope kUser{HKEY_CURRENT_USER, "HKEY_CURRENT_USER", false};
const Scope kSystem{HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", true};

std::string registryName(const Scope& scope, Key key, const std::string& name) {
  return std::string(scope.name) + "\\" + narrow(kKeys[key].path) + "\\" + name;
}

// The default value of a key, as browsers read it: a string, with
// environment variables expanded for REG_EXPAND_SZ; "found" tells whether
// the key has a default value at all.
struct RegistryEntry {
  bool found = false;
  bool isString = false;
  std::wstring value;
  REGSAM view = 0;
};

RegistryEntry readDefault(HKEY root, const std::wstring& subkey, REGSAM view) {
  RegistryEntry entry;
  entry.view = view;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return entry;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    entry.found = true;
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if ((type == REG_SZ || type == REG_EXPAND_SZ) &&
        RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
            ERROR_SUCCESS) {
      data.resize(wcsnlen(data.c_str(), data.size()));
      entry.isString = true;
      if (type == REG_EXPAND_SZ) {
        const DWORD needed = ExpandEnvironmentStringsW(data.c_str(), nullptr, 0);
        std::wstring expanded(needed, L'\0');
        ExpandEnvironmentStringsW(data.c_str(), expanded.data(), needed);
        expanded.resize(wcsnlen(expanded.c_str(), expanded.size()));
        data = expanded;
      }
      entry.value = data;
    }
  }
  RegCloseKey(key);
  return entry;
}

bool keyIsEmpty(HKEY root, const std::wstring& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
  DWORD subkeys = 0;
  DWORD values = 0;
  const LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                       nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && subkeys == 0 && values == 0;
}

// Removes the host's key once its value is gone, then the keys above it that
// are left empty, up to Software, as the Linux tool removes folders left
// empty.
void removeEmptyKeys(HKEY root, std::wstring subkey) {
  while (subkey.find(L'\\') != std::wstring::npos && keyIsEmpty(root, subkey)) {
    if (RegDeleteKeyExW(root, subkey.c_str(), KEY_WOW64_64KEY, 0) != ERROR_SUCCESS) return;
    subkey = folderOf(subkey);
  }
}

// The App Paths entry of a program: where Windows says it is installed.
std::wstring registeredProgram(HKEY root, const Browser& browser) {
  const RegistryEntry entry = readDefault(
      root, std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + browser.program,
      KEY_WOW64_64KEY);
  if (!entry.isString || entry.value.empty()) return {};
  std::wstring path = entry.value;
  if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
  if (*browser.programFolder && lower(path).find(lower(browser.programFolder)) == std::wstring::npos) return {};
  return path;
}

// Per user, a browser that ran once counts too, even if not registered.
bool installed(const Browser& browser, bool system) {
  if (!registeredProgram(HKEY_LOCAL_MACHINE, browser).empty()) return true;
  if (system) return false;
  if (!registeredProgram(HKEY_CURRENT_USER, browser).empty()) return true;
  return exists(knownFolder(browser.profileBase) + L"\\" + browser.marker);
}

// ---------------------------------------------------------------- manifests

struct Options {
  bool system = false;
  bool remove = false;
  bool status = false;
  bool quiet = false;
  std::string name = kDefaultName;
  std::wstring host;  // absolute once checked
  std::vector<std::string> browserNames;
  std::vector<std::string> origins;
  std::vector<std::string> addonIds;
};

const char* member(Family family) { return family == Family::Chromium ? "allowed_origins" : "allowed_extensions"; }

std::string manifestText(const std::string& name, const std::string& host, Family family,
                         const std::vector<std::string>& callers) {
  std::string text = "{\n";
  text += "  \"name\": " + jsonString(name) + ",\n";
  text += std::string("  \"description\": ") + jsonString(kDescription) + ",\n";
  text += "  \"path\": " + jsonString(host) + ",\n";
  text += "  \"type\": \"stdio\",\n";
  text += std::string("  \"") + member(family) + "\": [\n";
  for (std::size_t i = 0; i < callers.size(); ++i) text += (i ? ",\n    " : "    ") + jsonString(callers[i]);
  text += "\n  ]\n}\n";
  return text;
}

// Where register keeps a key's manifest: beside the host for everyone, in the
// user's Local AppData folder for one user.
std::wstring manifestFolder(const Scope& scope, const Options& options) {
  if (scope.system) return folderOf(options.host);
  return knownFolder(FOLDERID_LocalAppData) + L"\\Velmora\\NativeMessagingHosts";
}

std::wstring manifestPath(const Scope& scope, const Options& options, Key key) {
  return manifestFolder(scope, options) + L"\\" + widen(options.name) + L"." + widen(kKeys[key].slug) + L".json";
}

// Whether the file is a manifest as register writes it: exactly the bytes it
// would write for the host and callers it names, with an absolute host path.
bool writtenByRegister(const std::string& content, const std::string& name, Family family) {
  velmora::json::Value manifest;
  velmora::json::Reader reader;
  if (!reader.parse(content, manifest)) return false;
  const std::string* path = manifest.stringMember("path");
  const velmora::json::Value* list = manifest.member(member(family));
  if (!path || !list || list->kind != velmora::json::Value::Kind::Array) return false;
  const std::wstring host = widen(*path);
  if (host.size() < 3 || host[1] != L':' || host[2] != L'\\') return false;
  std::vector<std::string> callers;
  for (const velmora::json::Value& item : list->items) {
    if (item.kind != velmora::json::Value::Kind::String) return false;
    callers.push_back(item.text);
  }
  return manifestText(name, *path, family, callers) == content;
}

void say(const Options& options, const std::string& line) {
  if (!options.quiet) out(line + "\n");
}

// Writes the manifest into a temporary file in its folder and renames it into
// place, so a browser never reads half of one.
void writeManifest(const std::wstring& target, const std::string& text) {
  const std::wstring folder = folderOf(target);
  makeFolders(folder);
  if (isDirectory(target)) fail("cannot write " + narrow(target) + ": a folder is in the way");
  std::wstring temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; file == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    temp = folder + L"\\." + target.substr(folder.size() + 1) + L"." +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64() + attempt);
    file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    fail("cannot create a temporary file in " + narrow(folder) + ": " + systemText(GetLastError()));
  }
  DWORD written = 0;
  const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size() && FlushFileBuffers(file);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (ok && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return;
  if (ok) error = GetLastError();
  DeleteFileW(temp.c_str());
  fail("cannot write " + narrow(target) + ": " + systemText(error));
}

void setDefaultValue(const Scope& scope, Key key, const std::string& name, const std::wstring& manifest) {
  const std::wstring subkey = std::wstring(kKeys[key].path) + L"\\" + widen(name);
  HKEY handle = nullptr;
  LONG status = RegCreateKeyExW(scope.root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &handle, nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(manifest.c_str()),
                            static_cast<DWORD>((manifest.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
  }
  if (status != ERROR_SUCCESS) {
    fail("cannot set " + registryName(scope, key, name) + ": " + systemText(static_cast<DWORD>(status)));
  }
}

// Takes back what register wrote for one key: the registry value when it
// names register's own manifest, and that manifest when it is unchanged. A
// value naming another manifest stays, and so does a changed manifest with
// the value that names it. Tells whether it found anything of the host's.
bool removeKey(const Scope& scope, const Options& options, Key key) {
  const std::wstring subkey = std::wstring(kKeys[key].path) + L"\\" + widen(options.name);
  const std::wstring manifest = manifestPath(scope, options, key);
  const RegistryEntry entry = readDefault(scope.root, subkey, KEY_WOW64_64KEY);
  const std::optional<std::string> content = readFile(manifest);
  const bool ours = content && writtenByRegister(*content, options.name, kKeys[key].family);
  if (entry.found && !(entry.isString && samePath(entry.value, manifest))) {
    say(options, "left " + registryName(scope, key, options.name) + ": it names another manifest, " +
                     narrow(entry.value));
  } else if (entry.found && content && !ours) {
    say(options, "left " + registryName(scope, key, options.name) + " and " + narrow(manifest) +
                     ": the manifest was not written by " + kProgram + " or was changed since");
    return true;
  } else if (entry.found) {
    HKEY handle = nullptr;
    LONG status = RegOpenKeyExW(scope.root, subkey.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &handle);
    if (status == ERROR_SUCCESS) {
      status = RegDeleteValueW(handle, nullptr);
      RegCloseKey(handle);
    }
    if (status != ERROR_SUCCESS) {
      fail("cannot remove " + registryName(scope, key, options.name) + ": " + systemText(static_cast<DWORD>(status)));
    }
    removeEmptyKeys(scope.root, subkey);
    say(options, "removed " + registryName(scope, key, options.name));
  }
  if (ours) {
    if (!DeleteFileW(manifest.c_str())) fail("cannot remove " + narrow(manifest) + ": " + systemText(GetLastError()));
    say(options, "removed " + narrow(manifest));
  }
  return entry.found || ours;
}

// Whether the installed MSI put this manifest there: its component is
// installed, with the manifest as its file.
bool installedByMsi(Key key, const std::wstring& manifest) {
  wchar_t path[2048];
  DWORD size = sizeof path / sizeof path[0];
  return MsiLocateComponentW(kKeys[key].msiComponent, path, &size) == INSTALLSTATE_LOCAL && samePath(path, manifest);
}

// A manifest the MSI installed is the MSI's: replaced, the MSI would not
// notice, and removing it would leave the MSI's records wrong. So nothing is
// done while one of them would be touched.
bool refuseMsiManifests(const Scope& scope, const Options& options, const std::vector<Key>& keys) {
  std::string owned;
  for (Key key : keys) {
    const std::wstring manifest = manifestPath(scope, options, key);
    if (installedByMsi(key, manifest)) owned += "  " + narrow(manifest) + "\n";
  }
  if (owned.empty()) return false;
  write(STD_ERROR_HANDLE, std::string(kProgram) + ": " + (options.remove ? "nothing removed" : "nothing written") +
                              ": these manifests belong to the installed Velmora extension host, and " + kProgram +
                              " neither replaces nor removes them:\n" + owned +
                              "They change with it: msiexec /x velmora-extension.msi, or Apps & Features, takes "
                              "them away.\n");
  return true;
}

std::string userName() {
  wchar_t name[256];
  DWORD size = sizeof name / sizeof name[0];
  return GetUserNameW(name, &size) ? narrow(name) : std::string("this user");
}

// ---------------------------------------------------------------- status

// The first line a program says when asked for its version; a program that
// hangs is stopped after 3 seconds.
struct Answer {
  bool timedOut = false;
  std::string line;
};

Answer askVersion(const std::wstring& program) {
  Answer answer;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return answer;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = writeEnd;
  startup.hStdError = nothing;
  std::wstring command = L"\"" + program + L"\" --version";
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  CloseHandle(nothing);
  std::string& output = answer.line;
  if (started) {
    const ULONGLONG deadline = GetTickCount64() + 3000;
    for (;;) {
      DWORD available = 0;
      while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[512];
        DWORD got = 0;
        if (!ReadFile(readEnd, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0) break;
        if (output.size() < 4096) output.append(buffer, got);
      }
      if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
        continue;
      }
      if (GetTickCount64() > deadline) {
        TerminateProcess(process.hProcess, 1);
        answer.timedOut = true;
        break;
      }
      Sleep(10);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(readEnd);
  const std::size_t end = output.find_first_of("\r\n");
  if (end != std::string::npos) output.resize(end);
  return answer;
}

// What a version query shows: "unknown" when the program says nothing (a
// host too old to know --version reads the empty input and ends), "timed
// out" when it hangs.
std::string versionOf(const std::wstring& program) {
  const Answer answer = askVersion(program);
  if (answer.timedOut) return "timed out";
  if (answer.line.empty() || !velmora::json::validUtf8(answer.line)) return "unknown";
  return answer.line;
}

// Whether a version line is the host's: "velmora-extension" and a version.
bool isHostVersion(std::string_view line) {
  constexpr std::string_view prefix = "velmora-extension ";
  if (line.size() <= prefix.size() || line.substr(0, prefix.size()) != prefix) return false;
  const std::string_view version = line.substr(prefix.size());
  return version[0] >= '0' && version[0] <= '9' &&
         version.find_first_of(" \t\r\n\v\f") == std::string_view::npos;
}

std::string fileVersion(const std::wstring& program) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
  if (size == 0) return "unknown";
  std::vector<BYTE> data(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(program.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info) {
    return "unknown";
  }
  return std::to_string(HIWORD(info->dwProductVersionMS)) + "." + std::to_string(LOWORD(info->dwProductVersionMS)) +
         "." + std::to_string(HIWORD(info->dwProductVersionLS)) + "." + std::to_string(LOWORD(info->dwProductVersionLS));
}

std::string systemName() {
  std::string name = "Windows";
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  if (auto rtlGetVersion = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))) {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (rtlGetVersion(&version) == 0) {
      name += " " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
              std::to_string(version.dwBuildNumber);
    }
  }
  using WineVersion = const char*(CDECL*)();
  if (auto wine = reinterpret_cast<WineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))) {
    name += std::string(", Wine ") + wine();
  }
  return name;
}

// What a browser finds in one scope: the first of its keys with a value,
// each in the 32-bit view and then the 64-bit one, as Chromium looks. Firefox
// reads the user's key only in the 64-bit view, which is the same key.
struct Found {
  bool found = false;
  Key key = kChrome;
  RegistryEntry entry;
};

Found lookup(const Browser& browser, const Scope& scope, const std::string& name) {
  Found result;
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    for (Key key : browser.reads) {
      const RegistryEntry entry = readDefault(scope.root, std::wstring(kKeys[key].path) + L"\\" + widen(name), view);
      if (entry.found) {
        result.found = true;
        result.key = key;
        result.entry = entry;
        return result;
      }
    }
  }
  return result;
}

struct Note {
  std::string where;  // the registry value
  std::vector<std::string> labels;
  std::string text;
};

void addNote(std::vector<Note>& notes, const std::string& where, const std::string& label, const std::string& text) {
  for (Note& note : notes) {
    if (note.where == where) {
      if (std::find(note.labels.begin(), note.labels.end(), label) == note.labels.end()) note.labels.push_back(label);
      return;
    }
  }
  notes.push_back({where, {label}, text});
}

std::string pad(const std::string& text, std::size_t width) {
  std::size_t shown = 0;
  for (unsigned char c : text) shown += (c & 0xC0) != 0x80;
  return text + std::string(shown < width ? width - shown : 0, ' ');
}

// One row of the status table: the browser, whether it is installed, the
// scope, what is wrong with the manifest if anything, the host's state and
// the allowed callers; details for the notes below the table.
std::string statusRow(const Browser& browser, bool isInstalled, const std::string& scopeLabel, const Scope& scope,
                      const Found& found, const std::string& name, std::vector<Note>& notes) {
  std::string state = "absent";
  std::string hostState = "-";
  std::string callers = "-";
  if (found.found) {
    const std::string where = registryName(scope, found.key, name) +
                              (found.entry.view == KEY_WOW64_32KEY && scope.system ? " (32-bit view)" : "");
    const std::wstring& manifest = found.entry.value;
    const bool absolute = manifest.size() >= 3 && ((manifest[1] == L':' && manifest[2] == L'\\') ||
                                                   (manifest[0] == L'\\' && manifest[1] == L'\\'));
    if (!found.entry.isString) {
      state = "not-a-path";
      addNote(notes, where, browser.label, "its default value is not a string");
    } else if (!absolute) {
      state = "relative";
      addNote(notes, where, browser.label, "names " + narrow(manifest) + ", which is not an absolute path");
    } else if (!exists(manifest)) {
      state = "no-file";
      addNote(notes, where, browser.label, "names " + narrow(manifest) + ", which does not exist");
    } else if (!isFile(manifest)) {
      state = "not-a-file";
      addNote(notes, where, browser.label, "names " + narrow(manifest) + ", which is not a regular file");
    } else if (const std::optional<std::string> content = readFile(manifest); !content) {
      state = "unreadable";
      addNote(notes, where, browser.label, "names " + narrow(manifest) + ", which cannot be read");
    } else {
      velmora::json::Value parsed;
      velmora::json::Reader reader;
      if (!reader.parse(*content, parsed) || parsed.kind != velmora::json::Value::Kind::Object) {
        state = "not-json";
        addNote(notes, where, browser.label,
                narrow(manifest) + ": not valid JSON (" +
                    (reader.error().empty() ? std::string("not a JSON object") : reader.error()) + ")");
      } else {
        const char* listName = member(browser.family);
        const velmora::json::Value* list = parsed.member(listName);
        callers.clear();
        if (list && list->kind == velmora::json::Value::Kind::Array) {
          for (const velmora::json::Value& item : list->items) {
            if (item.kind == velmora::json::Value::Kind::String) callers += (callers.empty() ? "" : " ") + item.text;
          }
        }
        if (callers.empty()) callers = "none";
        const std::string* manifestName = parsed.stringMember("name");
        const std::string* type = parsed.stringMember("type");
        state = "ok";
        if (!manifestName || *manifestName != name) {
          state = "wrong-name";
        } else if (!type || *type != "stdio") {
          state = "wrong-type";
        } else if (!list || list->kind != velmora::json::Value::Kind::Array) {
          state = std::string("no-") + listName;
        }
        // Windows browsers take a relative host path from the manifest's folder.
        const std::string* hostPath = parsed.stringMember("path");
        std::wstring host = hostPath ? widen(*hostPath) : std::wstring();
        if (!host.empty() && !(host.size() >= 2 && host[1] == L':') && host[0] != L'\\') {
          host = folderOf(manifest) + L"\\" + host;
        }
        std::string text = narrow(manifest) + ": host " + (hostPath ? *hostPath : std::string());
        if (!hostPath || hostPath->empty()) {
          hostState = "none";
        } else if (!isFile(host)) {
          hostState = "missing";
        } else {
          hostState = "ok";
          text += ", version " + versionOf(host);
        }
        addNote(notes, where, browser.label, text);
      }
    }
  }
  return pad(browser.label, 15) + " " + pad(isInstalled ? "yes" : "no", 9) + " " + pad(scopeLabel, 8) + " " +
         pad(state, 17) + " " + pad(hostState, 14) + " " + callers + "\n";
}

void showStatus(const Options& options, bool hostGiven) {
  std::string text = "Native messaging host " + options.name + " (" + systemName() + ")\n";
  if (hostGiven) {
    text += "The host (--host): " + narrow(options.host);
  } else {
    text += std::string("The host beside ") + kProgram + ".exe: " + narrow(options.host);
  }
  text += isFile(options.host) ? ", version " + versionOf(options.host) + "\n" : ", missing\n";
  // The host starts the Nelo.exe three folders above its own folder.
  const std::wstring application =
      folderOf(folderOf(folderOf(folderOf(finalPath(options.host))))) + L"\\Nelo.exe";
  text += "The application a command starts: " + narrow(application) + (isFile(application) ? ", there\n" : ", missing\n");
  const std::wstring storage = knownFolder(FOLDERID_LocalAppData) + L"\\Velmora";
  text += "The storage folder: " + narrow(storage) + ", ";
  if (isDirectory(storage)) {
    text += "there\n";
  } else if (exists(storage)) {
    text += "not a folder, so the host cannot store anything\n";
  } else {
    text += "not made yet (the host makes it at the first save)\n";
  }
  text += pad("BROWSER", 15) + " " + pad("INSTALLED", 9) + " " + pad("SCOPE", 8) + " " + pad("MANIFEST", 17) + " " +
          pad("HOST", 14) + " CALLERS\n";
  std::vector<Note> notes;
  std::string absent;
  std::string versions;
  for (const Browser& browser : browsers()) {
    const bool userInstalled = installed(browser, false);
    const bool systemInstalled = installed(browser, true);
    std::wstring program = registeredProgram(HKEY_LOCAL_MACHINE, browser);
    if (program.empty()) program = registeredProgram(HKEY_CURRENT_USER, browser);
    if (!program.empty()) versions += std::string(browser.label) + ": " + fileVersion(program) + "\n";
    const Found user = lookup(browser, kUser, options.name);
    const Found system = lookup(browser, kSystem, options.name);
    if (!userInstalled && !systemInstalled && !user.found && !system.found) {
      absent += (absent.empty() ? "" : ", ") + std::string(browser.label);
      continue;
    }
    // The browser reads the user's manifest if there is one, else the system's.
    const std::string userScope = user.found ? "user*" : "user";
    const std::string systemScope = !user.found && system.found ? "system*" : "system";
    text += statusRow(browser, userInstalled, userScope, kUser, user, options.name, notes);
    text += statusRow(browser, systemInstalled, systemScope, kSystem, system, options.name, notes);
  }
  if (!absent.empty()) text += "Not installed, no manifest: " + absent + "\n";
  text += "* the manifest the browser reads\n";
  if (!versions.empty()) text += "\nBrowser versions\n" + versions;
  if (!notes.empty()) {
    text += "\n";
    for (const Note& note : notes) {
      std::string labels;
      for (const std::string& label : note.labels) labels += (labels.empty() ? "" : ", ") + label;
      text += note.where + " (" + labels + "): " + note.text + "\n";
    }
  }
  out(text);
}

// ---------------------------------------------------------------- main

int run(int argc, wchar_t** argv) {
  Options options;
  std::vector<std::wstring> args(argv + 1, argv + argc);
  std::size_t i = 0;
  bool hostGiven = false;
  for (; i < args.size(); ++i) {
    std::wstring arg = args[i];
    std::optional<std::wstring> inlineValue;
    if (arg.rfind(L"--", 0) == 0 && arg.find(L'=') != std::wstring::npos) {
      inlineValue = arg.substr(arg.find(L'=') + 1);
      arg = arg.substr(0, arg.find(L'='));
    }
    const std::string option = narrow(arg);
    if (!inlineValue && arg == L"--system") {
      options.system = true;
    } else if (!inlineValue && arg == L"--remove") {
      options.remove = true;
    } else if (!inlineValue && arg == L"--status") {
      options.status = true;
    } else if (!inlineValue && arg == L"--quiet") {
      options.quiet = true;
    } else if (arg == L"--host" || arg == L"--name" || arg == L"--browser") {
      if (!inlineValue && i + 1 >= args.size()) fail(option + " needs a value");
      const std::wstring value = inlineValue ? *inlineValue : args[++i];
      const std::string text = checkText("the value of " + option, value);
      if (arg == L"--host") {
        options.host = value;
        hostGiven = true;
      } else if (arg == L"--name") {
        options.name = text;
      } else {
        std::size_t start = 0;
        for (;;) {
          const std::size_t comma = text.find(',', start);
          const std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
          if (!name.empty()) {
            if (name != "all" && !findBrowser(name)) {
              fail("unknown browser \"" + name +
                   "\": chromium, chrome, brave, vivaldi, edge, firefox, librewolf or all");
            }
            options.browserNames.push_back(name);
          }
          if (comma == std::string::npos) break;
          start = comma + 1;
        }
      }
    } else if (arg == L"--user-data-dir" || arg == L"--only-user-data-dir" || arg == L"--destdir" ||
               arg == L"--allow-flatpak-spawn") {
      fail(option + " does not apply on Windows: the browsers there find hosts through the registry only");
    } else if (!inlineValue && (arg == L"-h" || arg == L"--help")) {
      out(kUsage);
      return 0;
    } else if (!inlineValue && arg == L"--") {
      ++i;
      break;
    } else if (arg.size() > 1 && arg[0] == L'-') {
      fail("unknown option " + narrow(args[i]) + " (see --help)");
    } else {
      break;
    }
  }

  checkText("the host name", widen(options.name));
  if (!validName(options.name)) {
    fail("invalid host name \"" + options.name +
         "\": browsers accept only dot-separated segments of a-z, 0-9 and _");
  }
  const std::size_t callerCount = args.size() - i;
  for (; i < args.size(); ++i) {
    const std::string caller = checkText("a caller", args[i]);
    if (caller.find(';') != std::string::npos) {
      fail("invalid caller \"" + caller + "\": pass the callers as separate arguments, not separated by ;");
    }
    if (caller.rfind("chrome-extension:", 0) == 0) {
      if (!validOrigin(caller)) {
        fail("invalid extension origin \"" + caller +
             "\": expected chrome-extension://ID/ with a 32-letter ID of a to p");
      }
      options.origins.push_back(caller);
    } else {
      if (!validAddonId(caller)) {
        fail("invalid caller \"" + caller +
             "\": expected chrome-extension://ID/ or a Firefox add-on ID (name@domain or {GUID})");
      }
      options.addonIds.push_back(caller);
    }
  }
  const bool writing = !options.remove && !options.status;
  if (!writing) {
    if (options.remove && options.status) fail("--remove and --status exclude each other");
    if (callerCount > 0) fail("--remove and --status take no callers");
  } else if (callerCount == 0) {
    fail("no caller given: name the extension origins or add-on IDs that may start the host");
  }

  if (!hostGiven) {
    options.host = folderOf(ownPath()) + L"\\" + kHostFile;
    if (writing && !isFile(options.host)) {
      fail(std::string("no velmora-extension.exe beside ") + kProgram + ".exe: name the host with --host");
    }
  } else {
    options.host = fullPath(options.host);
  }
  checkText("the host path", options.host);
  // A manifest naming a host that cannot start would hide a working one, as
  // a user's manifest wins over the system's.
  if (writing) {
    if (!isFile(options.host)) {
      fail("the host " + narrow(options.host) + " is not an executable file: name the built " +
           narrow(kHostFile) + " with --host");
    }
    if (samePath(finalPath(options.host), finalPath(ownPath()))) {
      fail(std::string("--host names ") + kProgram + ".exe itself: name the " + narrow(kHostFile) + " beside it");
    }
    // Any other program would take the browser's messages and answer none.
    const Answer answer = askVersion(options.host);
    if (answer.timedOut) {
      fail("the host " + narrow(options.host) + " did not answer --version within 3 seconds: name the built " +
           narrow(kHostFile) + " with --host");
    }
    if (!isHostVersion(answer.line)) {
      std::string said = "nothing";
      if (!answer.line.empty()) {
        said = answer.line.substr(0, 200);
        for (char& c : said) {
          if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
        }
        said = "\"" + said + "\"";
      }
      fail("the host " + narrow(options.host) + " is no velmora-extension: asked for --version, it answered " + said +
           ", not \"velmora-extension VERSION\": name the built " + narrow(kHostFile) + " with --host");
    }
  }
  if (options.system && !options.status && !isAdministrator()) {
    fail("--system writes HKEY_LOCAL_MACHINE, which only an administrator may: run it from an elevated prompt");
  }

  if (options.status) {
    showStatus(options, hostGiven);
    return 0;
  }

  const Scope& scope = options.system ? kSystem : kUser;
  auto named = [&](const Browser& browser) {
    return std::any_of(options.browserNames.begin(), options.browserNames.end(),
                       [&](const std::string& name) { return name == "all" || name == browser.key; });
  };

  // The keys to write or clear; a key that two browsers share is taken once.
  std::vector<Key> keys;
  for (const Browser& browser : browsers()) {
    if (!options.browserNames.empty()) {
      if (!named(browser)) continue;
    } else if (writing && !installed(browser, options.system)) {
      continue;
    }
    if (std::find(keys.begin(), keys.end(), browser.writes) == keys.end()) keys.push_back(browser.writes);
  }
  if (options.remove && options.browserNames.empty()) {
    keys = {kChrome, kChromium, kEdge, kMozilla};
  }

  // An elevated prompt may run as another user than the one at the screen,
  // whose keys HKEY_CURRENT_USER then are not.
  auto noteElevated = [&] {
    if (scope.system || !isAdministrator()) return;
    write(STD_ERROR_HANDLE, std::string(kProgram) + ": from an elevated prompt without --system, this " +
                                (options.remove ? "removes the registration of " + userName() +
                                                      " alone; --system removes the one for all users\n"
                                                : "registers the host for " + userName() +
                                                      " alone; --system registers it for all users\n"));
  };

  if (options.remove) {
    noteElevated();
    if (refuseMsiManifests(scope, options, keys)) return 2;
    bool touched = false;
    for (Key key : keys) touched = removeKey(scope, options, key) || touched;
    // The folders register made for the user's manifests go when left empty.
    if (!scope.system) {
      const std::wstring folder = manifestFolder(scope, options);
      if (RemoveDirectoryW(folder.c_str())) RemoveDirectoryW(folderOf(folder).c_str());
    }
    if (!touched) say(options, "nothing to remove: no manifest of " + options.name + " was found");
    return 0;
  }

  // A browser named on purpose must get its manifest.
  for (const std::string& name : options.browserNames) {
    const Browser* browser = findBrowser(name);
    if (!browser) continue;
    if (browser->family == Family::Chromium && options.origins.empty()) {
      fail(name + " needs a chrome-extension:// caller");
    }
    if (browser->family == Family::Firefox && options.addonIds.empty()) {
      fail(name + " needs a Firefox add-on ID as caller");
    }
  }
  const bool wanted = std::any_of(keys.begin(), keys.end(), [&](Key key) {
    return kKeys[key].family == Family::Chromium ? !options.origins.empty() : !options.addonIds.empty();
  });
  if (!wanted) {
    write(STD_ERROR_HANDLE, std::string(kProgram) +
                                ": no installed browser takes these callers; name one with --browser (see --help)\n");
    return 1;
  }

  std::vector<Key> written;
  for (Key key : keys) {
    if (!(kKeys[key].family == Family::Chromium ? options.origins : options.addonIds).empty()) written.push_back(key);
  }
  noteElevated();
  if (refuseMsiManifests(scope, options, written)) return 2;

  const std::string host = narrow(options.host);
  for (Key key : keys) {
    const Family family = kKeys[key].family;
    const std::vector<std::string>& callers = family == Family::Chromium ? options.origins : options.addonIds;
    if (callers.empty()) continue;
    const std::wstring manifest = manifestPath(scope, options, key);
    writeManifest(manifest, manifestText(options.name, host, family, callers));
    say(options, "wrote " + narrow(manifest));
    // The value goes in after the manifest it names, so that a browser never
    // finds a key without its file.
    setDefaultValue(scope, key, options.name, manifest);
    say(options, "registered " + registryName(scope, key, options.name));
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    return run(argc, argv);
  } catch (const Refusal& refusal) {
    write(STD_ERROR_HANDLE, std::string(kProgram) + ": " + refusal.message + "\n");
    return 2;
  }
}
