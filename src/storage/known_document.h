#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/status.h"
#include "base/text_source.h"
#include "model/tab_snapshot.h"
#include "platform/env.h"

namespace velmora::VelmoraStorage {

// For each tab of a snapshot, in order, the position of its page (its
// normalized address) in the snapshot's first-seen map, as
// FirstSeenMap::position gives it; kNoPage for a tab with an empty url.
using PagePositions = std::vector<std::uint32_t>;
inline constexpr std::uint32_t kNoPage = UINT32_MAX;

// A snapshot document as a save knows it: decoded, and where its tabs' pages
// sit in its map, worked out once so that a later save need not normalize
// those addresses again.
struct KnownContents {
  std::shared_ptr<const TabSnapshot> snapshot;
  // Null when the map lacks the page of one of the tabs (or there is no map).
  std::shared_ptr<const PagePositions> positions;
};

// The previous document, as a save found it.
struct Previous {
  enum class State {
    absent,    // no file at the snapshot's place
    damaged,   // a file that does not decode
    answered,  // the caller's question answered it: nothing more is needed
    contents,  // decoded, or known: `known`
  };
  State state = State::absent;
  KnownContents known;
  // When this save decoded the document, it alone holds it: it may let go of
  // the tabs once it needs them no more, which keeps a large save's peak
  // memory down. Null for a document that was known already.
  std::shared_ptr<TabSnapshot> decoded;
};

// What a long-lived host knows of the snapshot document it read or wrote
// last, so that its next save need not read and decode it again. Keyed by the
// file's identity: a save by another host (a new inode), an edit or a removal
// makes it unknown.
//
// Bounded: only a document of at most kMaxDocumentBytes is kept, and what is
// kept takes about 1.7 times its document in memory (7.8 MiB for 10,000 tabs
// and their 4.6 MiB document), so that an idle host stays well under 16 MiB.
// Safe for overlapping requests: each takes what it needs under the lock and
// then works on its own shared, unchangeable copy.
class KnownDocument {
 public:
  static constexpr std::int64_t kMaxDocumentBytes = 6 * 1024 * 1024;

  // What a save asks of the previous document: whether it needs nothing more
  // of it (nothing is to be written). Told from the document's bytes, without
  // decoding them, when it can be (false there tells nothing), else from its
  // contents.
  struct Question {
    std::function<bool(const TextSource& bytes)> answeredByBytes;
    std::function<bool(const KnownContents& known)> answeredByContents;
  };

  // What is known of the document at `file` now, for `question`. The file is
  // examined; while it has the identity of the document kept, that answers.
  // Else it is read: its bytes first asked, then decoded, which is kept when
  // it answered the question and the file kept its identity while read. A
  // document whose bytes answered is only noted; met again, it is decoded
  // at once and kept, so that a long-lived host stops reading it. A
  // missing file is absent; any other failure to examine or read it is the
  // error, since saving over it would lose every page's first-seen time.
  Result<Previous> find(Env& env, const std::filesystem::path& file, const Question& question);

  // Keeps the document just written with that identity, in place of what
  // was kept; a larger one only drops that.
  void wrote(const FileIdentity& identity, KnownContents contents);

 private:
  // The document at `file` read, whose identity, when it has one, was
  // `identity` before; decoded without asking its bytes first when told.
  Result<Previous> read(Env& env, const std::filesystem::path& file, const Question& question,
                        const std::optional<FileIdentity>& identity, bool decodeAtOnce);
  // Whether the document with that identity was read before, and only noted.
  bool noted(const FileIdentity& identity) const;
  KnownContents kept(const FileIdentity& identity) const;
  void keep(const FileIdentity& identity, KnownContents contents);

  mutable std::mutex mutex_;
  FileIdentity identity_;
  KnownContents contents_;
};

}  // namespace velmora::VelmoraStorage
