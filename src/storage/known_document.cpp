#include "storage/known_document.h"

#include <cerrno>
#include <utility>

#include "model/normalized_url.h"
#include "storage/save_snapshot.h"

namespace velmora::VelmoraStorage {
namespace {

// The document at `file` in pieces; how the reading went is left in `read`.
TextSource piecesOf(Env& env, const std::filesystem::path& file, Status& read) {
  return [&env, &file, &read](const ByteSink& piece) {
    read = env.readFileInPieces(file, kMaxSnapshotDocumentBytes, piece);
    return read.ok();
  };
}

// Where each tab's page sits in the snapshot's map; null when the map lacks
// one of them.
std::shared_ptr<const PagePositions> positionsIn(const TabSnapshot& snapshot) {
  if (!snapshot.firstSeen) return nullptr;
  const FirstSeenMap& map = *snapshot.firstSeen;
  auto positions = std::make_shared<PagePositions>();
  positions->reserve(snapshot.tabs.size());
  std::string page;  // one string's room for every page
  for (const SafariTab& tab : snapshot.tabs) {
    if (tab.url.empty()) {
      positions->push_back(kNoPage);
      continue;
    }
    normalizedURL(tab.url, page);
    const std::size_t position = map.position(page);
    if (position == map.size()) return nullptr;
    positions->push_back(static_cast<std::uint32_t>(position));
  }
  return positions;
}

bool missing(const Error& error) { return error.code == ENOENT; }

}  // namespace

Result<Previous> KnownDocument::find(Env& env, const std::filesystem::path& file,
                                     const Question& question) {
  Result<FileInfo> found = env.examine(file);
  if (!found) {
    if (missing(found.error())) return Previous{};
    return found.error();
  }
  // Only a regular file has an identity that its edits change; anything else
  // is read, which tells what it is.
  if (!found->regular()) return read(env, file, question, std::nullopt, false);
  const FileIdentity& identity = found->identity;
  if (KnownContents known = kept(identity); known.snapshot) {
    if (question.answeredByContents(known))
      return Previous{Previous::State::answered, known, nullptr};
    // The caller is to replace the document: what was kept goes once the
    // caller lets go of it.
    keep({}, {});
    return Previous{Previous::State::contents, std::move(known), nullptr};
  }
  // A document whose bytes answered before is read by a host that serves
  // more than one message: it is decoded at once, to be kept. A host started
  // for one message never pays for that.
  const bool answeredBefore = noted(identity);
  // What was kept is of no more use; it goes before the document is read.
  keep(identity, {});
  return read(env, file, question, identity, answeredBefore);
}

Result<Previous> KnownDocument::read(Env& env, const std::filesystem::path& file,
                                     const Question& question,
                                     const std::optional<FileIdentity>& identity,
                                     bool decodeAtOnce) {
  Status read = Ok();
  const bool answered = !decodeAtOnce && question.answeredByBytes(piecesOf(env, file, read));
  // Else decoded as it is read: a large document is never held whole.
  Result<TabSnapshot> decoded = TabSnapshot{};
  if (!answered && read.ok()) decoded = decodeSnapshot(piecesOf(env, file, read));
  if (!read.ok()) {
    if (missing(read.error())) return Previous{};
    return read.error();
  }
  if (answered) return Previous{Previous::State::answered, {}, nullptr};
  if (!decoded) return Previous{Previous::State::damaged, {}, nullptr};

  auto snapshot = std::make_shared<TabSnapshot>(std::move(*decoded));
  KnownContents known{snapshot, positionsIn(*snapshot)};
  if (!question.answeredByContents(known)) {
    return Previous{Previous::State::contents, std::move(known), std::move(snapshot)};
  }
  // Kept only when the file stayed the same while it was read.
  if (identity) {
    if (Result<FileInfo> after = env.examine(file); after && after->identity == *identity) {
      keep(*identity, known);
    }
  }
  return Previous{Previous::State::answered, std::move(known), nullptr};
}

void KnownDocument::wrote(const FileIdentity& identity, KnownContents contents) {
  keep(identity, std::move(contents));
}

bool KnownDocument::noted(const FileIdentity& identity) const {
  const std::lock_guard lock(mutex_);
  return identity == identity_ && !contents_.snapshot;
}

KnownContents KnownDocument::kept(const FileIdentity& identity) const {
  const std::lock_guard lock(mutex_);
  if (!(identity == identity_)) return {};
  return contents_;
}

void KnownDocument::keep(const FileIdentity& identity, KnownContents contents) {
  if (identity.size > kMaxDocumentBytes) contents = {};
  {
    const std::lock_guard lock(mutex_);
    identity_ = identity;
    std::swap(contents_, contents);
  }
  // What was dropped is freed outside the lock.
}

}  // namespace velmora::VelmoraStorage
