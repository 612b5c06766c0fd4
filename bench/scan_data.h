#pragma once

// The large scan the save benchmarks share, and the storage directory it is
// saved into.

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "model/safari_tab.h"
#include "platform/env.h"
#include "storage/history.h"
#include "storage/save_snapshot.h"
#include "support/scan_time.h"
#include "support/test_env.h"

namespace velmora::bench {

constexpr int kTabs = 10000;
constexpr int kHistoryFiles = 1000;

// A deterministic, realistic scan: titles with some text outside ASCII, URLs
// of 60 to 200 characters with mixed-case hosts, queries and fragments, a
// snippet on some tabs and a summary (or an explicit null) on others. The
// second variant has one other page, so the page set changes.
inline std::vector<SafariTab> makeTabs(int variant) {
  std::vector<SafariTab> tabs;
  tabs.reserve(kTabs);
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  const char* words[] = {"Release", "notes",    "für",  "Übersicht", "des", "Projekts", "Straße",
                         "manual",  "overview", "café", "docs",      "API", "guide",    "2024"};
  for (int i = 0; i < kTabs; ++i) {
    SafariTab tab;
    tab.id = 1000 + i;
    tab.windowId = 1 + i % 7;
    const int titleWords = 4 + static_cast<int>(next() % 8);
    for (int w = 0; w < titleWords; ++w) {
      if (w) tab.title += ' ';
      tab.title += words[next() % (sizeof words / sizeof *words)];
    }
    tab.url = (i % 3 ? "https://" : "HTTPS://") + std::string(i % 5 ? "www" : "Docs") + ".site" +
              std::to_string(i % 400) + ".example/path/" + std::to_string(i);
    const std::size_t target = 60 + next() % 141;
    if (tab.url.size() < target)
      tab.url += "/section?query=" + std::string(target - tab.url.size(), 'q');
    if (i % 4 == 0) tab.url += "#fragment";
    tab.pinned = i % 50 == 0;
    tab.active = i % 7 == 0;
    if (i % 3 == 0) tab.snippet = "A short snippet of the page's text, about a line long.";
    if (i % 11 == 0) tab.summary = "Zusammenfassung: eine Übersicht in zwei Sätzen.";
    tabs.push_back(std::move(tab));
  }
  if (variant == 1) tabs.back().url = "https://other.example/changed";
  return tabs;
}

// The scan as the extension's script sends it.
inline std::string saveMessage(const std::vector<SafariTab>& tabs, std::string_view scannedAt) {
  boost::json::array list;
  list.reserve(tabs.size());
  for (const SafariTab& tab : tabs) {
    boost::json::object entry{{"id", tab.id},       {"windowId", tab.windowId},
                              {"title", tab.title}, {"url", tab.url},
                              {"pinned", tab.pinned}, {"active", tab.active}};
    if (tab.snippet) entry["snippet"] = *tab.snippet;
    if (tab.summary) entry["summary"] = *tab.summary;
    else if (tab.id % 5 == 0) entry["summary"] = nullptr;
    list.push_back(std::move(entry));
  }
  return boost::json::serialize(boost::json::object{
      {"action", "saveSnapshot"}, {"tabs", std::move(list)}, {"scannedAt", scannedAt}});
}

// A storage directory holding the first variant, scanned at the base time,
// and history copies that pruning keeps: half within the last two hours, half
// one per hour before that.
inline void makeStorage(const std::filesystem::path& dir) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / VelmoraStorage::kHistoryDirectoryName);
  for (int i = 0; i < kHistoryFiles; ++i) {
    const double age =
        i < kHistoryFiles / 2 ? 10 + i * 14 : 3 * 3600 + (i - kHistoryFiles / 2) * 3600;
    const std::string name = VelmoraStorage::historyFileName(scanTime(-age));
    if (!writeFileAtomically(realFiles(), dir / VelmoraStorage::kHistoryDirectoryName / name, "{}")) {
      std::abort();
    }
  }
  DirectoryEnv env(dir);
  if (!VelmoraStorage::save(makeTabs(0), scanTime(0), VelmoraStorage::Options(env))) {
    std::abort();
  }
}

}  // namespace velmora::bench
