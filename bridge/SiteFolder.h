// An origin's folder as its worker serves it: the confinement of the
// page's paths (bridge/Confinement.h), the page's own /put and /get, and
// the folder's limits, counted before anything is written.
//
// Limits ($TOLMIX_MAX_STORED_BYTES, default 1 GiB; $TOLMIX_MAX_STORED_FILES,
// default 10,000 entries): a write is refused when what the folder holds
// plus what the write may add (a /put's size; for the members that write a
// file, the size their output can reach from their input) would pass
// either.  What the folder holds is walked once and then kept up to date
// by the writes here; it is walked again only when a minute old (someone
// else may have changed the folder), never on every store.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/Confinement.h"

namespace tolmix::bridge {

class SiteFolder {
 public:
  explicit SiteFolder(std::string root);

  const Confinement& files() const { return files_; }

  // What the folder holds, walked when not known or a minute old.  Called
  // before a write makes its temporary file, which Room then does not walk.
  const FolderUsage& Held();

  // Whether BYTES more in NEW_ENTRIES more entries fit; *WHY when not.
  bool Room(uint64_t bytes, uint64_t newEntries, std::string* why);

  // What MEMBER may write when its input is SOURCE bytes (an envelope is
  // PEM: Base64 of the input and a header).
  static uint64_t Projected(std::string_view member, uint64_t source);

  // Ends a write through M (Confinement::Finish) and counts what it left.
  bool Finish(MappedPath& m, bool keep);

  // /put and /get (answers as JSON text; a failure carries "error").
  // DATA: Base64.
  std::string Put(std::string name, const std::string& data);
  std::string Get(const std::string& path);

 private:
  Confinement files_;
  const uint64_t maxBytes_, maxEntries_;
  FolderUsage usage_;
  std::chrono::steady_clock::time_point walked_{};
  bool known_ = false;
};

}  // namespace tolmix::bridge
