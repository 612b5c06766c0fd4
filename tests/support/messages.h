#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/safari_tab.h"
#include "platform/extension_context.h"

// Tabs and messages as tests need them. Texts go into the JSON as they are,
// so a caller may pass escapes, or bytes no browser would send.
namespace velmora {

// A tab in window 1, neither pinned nor active, without snippet or summary.
inline SafariTab tab(std::int64_t id, std::string url, std::string title = "Title") {
  SafariTab result;
  result.id = id;
  result.windowId = 1;
  result.title = std::move(title);
  result.url = std::move(url);
  return result;
}

// The same tab as the script sends it.
inline std::string tabJson(std::int64_t id, std::string_view url,
                           std::string_view title = "Title") {
  return R"({"id":)" + std::to_string(id) + R"(,"windowId":1,"title":")" + std::string(title) +
         R"(","url":")" + std::string(url) + R"(","pinned":false,"active":false})";
}

inline std::string saveSnapshotMessage(const std::vector<std::string>& tabs,
                                       std::string_view scannedAt) {
  std::string message =
      R"({"action":"saveSnapshot","scannedAt":")" + std::string(scannedAt) + R"(","tabs":[)";
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (i > 0) message += ',';
    message += tabs[i];
  }
  return message + "]}";
}

inline std::string commandMessage(std::string_view command, std::string_view url) {
  return R"({"action":"command","command":")" + std::string(command) + R"(","url":")" +
         std::string(url) + R"("})";
}

// The item the host loop hands on for a frame holding `text`.
inline NSExtensionItem messageItem(std::string text) {
  NSExtensionItem item;
  item.messageBytes = text.size();
  item.messageText = [held = std::make_shared<const std::string>(std::move(text))](
                         const ByteSink& piece) {
    piece(*held);
    return true;
  };
  return item;
}

}  // namespace velmora
