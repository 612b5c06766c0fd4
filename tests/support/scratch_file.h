#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/temporary_directory.h"

// For tests that feed bytes to a descriptor, or catch what is written to
// one: a scratch file, open for reading and writing in binary mode on every
// system, removed with its directory.
namespace velmora {

class ScratchFile {
 public:
  // The file holds `bytes`, and is read from its start.
  explicit ScratchFile(std::string_view bytes = "") {
    file_ = std::fopen((directory_.path() / "scratch").string().c_str(), "w+b");
    if (file_ == nullptr) throw std::runtime_error("cannot make a scratch file");
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
    std::rewind(file_);
  }
  ~ScratchFile() { std::fclose(file_); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  int fd() const { return fileno(file_); }

 private:
  TemporaryDirectory directory_{"velmora-scratch"};
  std::FILE* file_ = nullptr;
};

}  // namespace velmora
