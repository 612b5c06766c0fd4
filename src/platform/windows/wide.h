#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"

// The Win32 boundary: UTF-16 there, UTF-8 everywhere else, and the system's
// own error texts in the shape of every other error.
namespace velmora::windows {

// UTF-8 to UTF-16; nothing when the text is not valid UTF-8.
std::optional<std::wstring> toWide(std::string_view text);

// UTF-16 to UTF-8 (an unpaired surrogate becomes U+FFFD).
std::string toUtf8(std::wstring_view text);

// The path as a Win32 call takes it: backslashes, and an absolute path in
// its \\?\ form, which lifts the MAX_PATH limit of 260 characters.
std::wstring win32Path(const std::filesystem::path& path);

// The system's text for a Win32 error code (FormatMessageW), without its
// line end.
std::string errorText(DWORD code);

// The errno that a Win32 error code means, so that code above the platform
// tells "missing" from "exists" alike on every system; EIO for the rest.
int errnoFor(DWORD code);

// "cannot VERB PATH: REASON" for a Win32 error, with its errno as the code.
Error win32Error(std::string_view action, const std::filesystem::path& path, DWORD code);

// "WHAT: REASON" for a Win32 error that concerns no path.
Error win32SystemError(std::string_view what, DWORD code);

// Closes a handle on every path out of a function.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }
  // Closes now, so that the caller sees whether that failed.
  bool close() {
    const bool closed = !valid() || ::CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

}  // namespace velmora::windows
