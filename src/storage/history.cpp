#include "storage/history.h"

#include <utf8proc.h>

#include <algorithm>
#include <unordered_set>

#include "platform/file_system.h"
#include "storage/velmora_date.h"

namespace velmora::VelmoraStorage {
namespace {

constexpr std::string_view kExtension = ".json";
constexpr std::size_t kHourKeyLength = 13;

// The text after the last full stop, compared exactly.
bool hasJsonExtension(std::string_view name) {
  return name.size() >= kExtension.size() &&
         name.substr(name.size() - kExtension.size()) == kExtension;
}

// Byte length of the first `count` user-perceived characters of a UTF-8
// text; bytes stand for characters when the text is not valid UTF-8.
std::size_t prefixLength(std::string_view text, std::size_t count) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  const auto length = static_cast<utf8proc_ssize_t>(text.size());
  utf8proc_ssize_t pos = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  std::size_t characters = 0;
  while (pos < length) {
    utf8proc_int32_t codepoint;
    const utf8proc_ssize_t step = utf8proc_iterate(bytes + pos, length - pos, &codepoint);
    if (step <= 0) return std::min(count, text.size());
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state)) {
      if (characters == count) return static_cast<std::size_t>(pos);
      ++characters;
    }
    previous = codepoint;
    pos += step;
  }
  return text.size();
}

}  // namespace

std::string historyFileName(std::string_view scannedAt) {
  std::string name(scannedAt);
  std::replace(name.begin(), name.end(), ':', '_');
  name += kExtension;
  return name;
}

std::vector<std::filesystem::path> historyFiles(const std::filesystem::path& dir) {
  Result<std::vector<std::string>> names = fs::listDirectory(dir);
  if (!names) return {};
  std::vector<std::string>& kept = *names;
  std::erase_if(kept, [](const std::string& name) { return !hasJsonExtension(name); });
  // Plain string comparison is byte order, which puts the newest of uniformly
  // written scan times first.
  std::sort(kept.begin(), kept.end(), std::greater<>());
  std::vector<std::filesystem::path> files;
  files.reserve(kept.size());
  for (const std::string& name : kept) files.push_back(dir / name);
  return files;
}

std::optional<double> historyFileDate(const std::filesystem::path& file) {
  std::string name = file.filename().string();
  if (const std::size_t dot = name.rfind('.'); dot != std::string::npos) name.resize(dot);
  std::replace(name.begin(), name.end(), '_', ':');
  return VelmoraDate::parse(name);
}

std::string historyHourKey(std::string_view fileName) {
  return std::string(fileName.substr(0, prefixLength(fileName, kHourKeyLength)));
}

void pruneHistory(const std::filesystem::path& dir, double now) {
  std::unordered_set<std::string> seenHours;
  for (const std::filesystem::path& file : historyFiles(dir)) {
    const std::optional<double> date = historyFileDate(file);
    if (!date) continue;
    const double age = now - *date;
    if (age <= kKeepAllCopiesFor) continue;
    if (age <= kKeepHourlyCopiesFor &&
        seenHours.insert(historyHourKey(file.filename().string())).second) {
      continue;
    }
    // Only regular files go: whatever else carries such a name is not ours.
    fs::removeRegularFile(file);
  }
}

}  // namespace velmora::VelmoraStorage
