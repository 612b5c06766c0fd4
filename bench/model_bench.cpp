// Costs of the tab data model: address normalisation per URL, and reading
// plus writing a large snapshot document beside plain JSON parsing and
// serialising of the same bytes.
#include <benchmark/benchmark.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/parse.hpp>
#include <random>
#include <string>
#include <vector>

#include "model/normalized_url.h"
#include "model/tab_snapshot.h"
#include "support/snapshot_bytes.h"

namespace velmora {
namespace {

constexpr std::uint32_t kSeed = 20240501;

template <class T>
const T& pick(std::mt19937& random, const std::vector<T>& choices) {
  return choices[std::uniform_int_distribution<std::size_t>(0, choices.size() - 1)(random)];
}

std::string pathWords(std::mt19937& random, std::size_t minLength) {
  static const std::vector<std::string> words = {
      "docs",    "article", "2024",  "Index.html", "user", "settings",  "compare",
      "feature", "issues",  "a%20b", "caf%C3%A9",  "wiki", "Main_Page", "search",
      "release", "notes",   "v1",    "api",        "blog", "posts",     "how-to-build"};
  std::string path;
  while (path.size() < minLength) path += "/" + pick(random, words);
  return path;
}

// A realistic mix: mostly http(s) with hosts in mixed case, ports, queries
// and fragments; some other schemes and a few texts that are no URL at all.
std::vector<std::string> urlMix() {
  std::mt19937 random(kSeed);
  const std::vector<std::string> schemes = {"https", "https", "https", "http", "HTTPS", "Http"};
  const std::vector<std::string> hosts = {
      "www.example.com",  "GitHub.com",     "news.ycombinator.com", "Docs.Python.org",
      "EN.wikipedia.org", "localhost",      "192.168.1.20",         "[2001:DB8::1]",
      "mail.google.com",  "WWW.Spiegel.DE", "stackoverflow.com",    "caf%C3%A9.example"};
  const std::vector<std::string> ports = {"", "", "", "", ":443", ":80", ":8080", ":3000"};
  const std::vector<std::string> queries = {
      "", "", "", "?q=boost+url&lang=en", "?id=42&ref=Home", "?", "?utm_source=x%2Fy"};
  const std::vector<std::string> fragments = {"", "", "", "#top", "#", "#section-2"};
  const std::vector<std::string> others = {"about:blank",
                                           "chrome://settings/",
                                           "file:///Users/Me/Notes.txt",
                                           "mailto:someone@example.com",
                                           "javascript:void(0)",
                                           "ftp://FTP.Example.com/pub/",
                                           "data:text/plain,hello"};
  const std::vector<std::string> invalid = {"https://Host/a b", "http://[::1", "not a url",
                                            "https://host/%zz"};
  std::vector<std::string> urls;
  for (int i = 0; i < 400; ++i) {
    int kind = i % 20;
    if (kind == 0) {
      urls.push_back(pick(random, invalid));
    } else if (kind < 3) {
      urls.push_back(pick(random, others));
    } else {
      std::string path = (kind % 5 == 0) ? "/" : pathWords(random, 5 + (i * 7) % 40);
      urls.push_back(pick(random, schemes) + "://" + pick(random, hosts) + pick(random, ports) +
                     path + pick(random, queries) + pick(random, fragments));
    }
  }
  return urls;
}

void BM_NormalizedURL(benchmark::State& state) {
  const std::vector<std::string> urls = urlMix();
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(normalizedURL(urls[next]));
    if (++next == urls.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NormalizedURL)->Repetitions(10)->ReportAggregatesOnly(true);

// The floor: the URL library alone parsing the same mix.
void BM_UrlParseFloor(benchmark::State& state) {
  const std::vector<std::string> urls = urlMix();
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(boost::urls::parse_uri_reference(urls[next]));
    if (++next == urls.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UrlParseFloor)->Repetitions(10)->ReportAggregatesOnly(true);

// A document as a long browsing session leaves it: 10,000 tabs, URLs of 60 to
// 200 characters, some non-ASCII titles, optional texts on some tabs and a
// full first-seen map.
std::string largeSnapshotDocument() {
  std::mt19937 random(kSeed);
  const std::vector<std::string> titles = {
      "Pull request #1234: Fix the build on older compilers \xE2\x80\x94 Review",
      "Stra\xC3\x9F"
      "enbahn Fahrplan M\xC3\xBCnchen \xE2\x80\x93 \xC3\x9C"
      "bersicht",
      "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE\xE5\xA4\xA9\xE6\xB0\x97",
      "How do I percent-encode a URL in C++? - Stack Overflow",
      "Inbox (3) - someone@example.com",
      "Recipe: \"Best\" pancakes \xF0\x9F\xA5\x9E",
      "Release notes 1.81.0 / Boost libraries"};
  const std::vector<std::string> hosts = {"https://www.example.com", "https://GitHub.com",
                                          "http://news.example.org:8080",
                                          "https://en.wikipedia.org", "https://docs.example.dev"};
  TabSnapshot snapshot;
  snapshot.scannedAt = "2024-05-01T10:00:00.123Z";
  snapshot.firstSeen.emplace();
  std::uniform_int_distribution<std::size_t> length(60, 200);
  for (int i = 0; i < 10000; ++i) {
    SafariTab tab;
    tab.id = 100000 + i;
    tab.windowId = 1 + i % 7;
    tab.title = pick(random, titles);
    std::size_t want = length(random);
    std::string url = pick(random, hosts) + pathWords(random, 20) + "/" + std::to_string(i);
    url += "?q=";
    while (url.size() < want) url += "x";
    if (i % 9 == 0) url += "#frag";
    tab.url = std::move(url);
    tab.pinned = i % 50 == 0;
    tab.active = i % 30 == 0;
    if (i % 4 == 0)
      tab.snippet =
          "A short excerpt of the page, \"quoted\" and \xC3\xA9"
          "crit.";
    if (i % 10 == 0) tab.summary = "";
    snapshot.firstSeen->set(tab.normalizedURL(),
                            "2024-04-0" + std::to_string(1 + i % 9) + "T08:00:00Z");
    snapshot.tabs.push_back(std::move(tab));
  }
  return snapshotBytes(snapshot);
}

void BM_SnapshotDecodeEncode(benchmark::State& state) {
  const std::string bytes = largeSnapshotDocument();
  for (auto _ : state) {
    auto snapshot = decodeSnapshot(bytes);
    if (!snapshot.ok()) {
      state.SkipWithError(snapshot.error().description.c_str());
      break;
    }
    benchmark::DoNotOptimize(snapshotBytes(*snapshot));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_SnapshotDecodeEncode)->Unit(benchmark::kMillisecond);

// The floor: the JSON library alone reading and writing the same bytes.
void BM_JsonParseSerializeFloor(benchmark::State& state) {
  const std::string bytes = largeSnapshotDocument();
  for (auto _ : state) {
    boost::json::value document = boost::json::parse(bytes);
    benchmark::DoNotOptimize(boost::json::serialize(document));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_JsonParseSerializeFloor)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
