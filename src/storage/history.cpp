#include "storage/history.h"

#include <algorithm>
#include <unordered_set>

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

// The date and hour as written in the name ("2024-05-01T12"): its first 13
// bytes. Taken from the text, so no time zone is converted; only names whose
// date parses, all ASCII, are asked.
std::string_view hourKey(std::string_view fileName) { return fileName.substr(0, kHourKeyLength); }

}  // namespace

std::string historyFileName(std::string_view scannedAt) {
  std::string name(scannedAt);
  std::replace(name.begin(), name.end(), ':', '_');
  name += kExtension;
  return name;
}

std::vector<std::filesystem::path> historyFiles(Env& env, const std::filesystem::path& dir) {
  Result<std::vector<std::string>> names = env.listDirectory(dir);
  if (!names) return {};
  std::vector<std::string>& kept = *names;
  std::erase_if(kept, [](const std::string& name) { return !hasJsonExtension(name); });
  // Plain string comparison is byte order, which puts the newest of uniformly
  // written scan times first.
  std::sort(kept.begin(), kept.end(), std::greater<>());
  std::vector<std::filesystem::path> files;
  files.reserve(kept.size());
  for (const std::string& name : kept) files.push_back(dir / utf8Path(name));
  return files;
}

std::optional<double> historyFileDate(const std::filesystem::path& file) {
  std::string name = utf8Text(file.filename());
  if (const std::size_t dot = name.rfind('.'); dot != std::string::npos) name.resize(dot);
  std::replace(name.begin(), name.end(), '_', ':');
  return VelmoraDate::parse(name);
}

void pruneHistory(Env& env, const std::filesystem::path& dir, double now) {
  std::unordered_set<std::string> seenHours;
  for (const std::filesystem::path& file : historyFiles(env, dir)) {
    const std::optional<double> date = historyFileDate(file);
    if (!date) continue;
    const double age = now - *date;
    if (age <= kKeepAllCopiesFor) continue;
    if (age <= kKeepHourlyCopiesFor &&
        seenHours.insert(std::string(hourKey(utf8Text(file.filename())))).second) {
      continue;
    }
    // Only regular files go: whatever else carries such a name is not ours.
    removeRegularFile(env, file);
  }
}

}  // namespace velmora::VelmoraStorage
