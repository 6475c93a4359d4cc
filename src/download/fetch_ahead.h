#pragma once

// Transfers fetched ahead of the installation. While the run checks,
// inflates, patches or syncs one file, the next ones (their packed files,
// their patches, or stretches of a bundle) already arrive, up to
// kFetchAhead at once over the session's connections to the server, each
// into a scratch file of its own (kAheadScratchPrefix and a slot number).
// The run still takes them one at a time, in manifest order, with the same
// checks: only its waiting is shorter.
//
// The run adds items in the order it will need them and takes them in that
// order; one thread of the download layer carries them out. Scratch space
// is bounded by count (kAheadFiles) and by bytes (kAheadBytes, or the next
// item's size where that is larger), so a run never holds more than that
// of files it has not yet installed.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "download/request.h"
#include "download/session.h"
#include "platform/thread.h"

#ifndef BRIGHTWICK_FETCH_AHEAD
#define BRIGHTWICK_FETCH_AHEAD 6
#endif
// Transfers at once. Browsers open about six connections to one host, and a
// small studio's server should not be asked for more. More would still pay
// on many small files (500 of 4 KiB at 50 ms: 5.6 s with 6, 3.2 s with 12,
// rsync 0.9 s), but bundles close that gap with a handful of requests (1.2
// s), so six it is. 1 is the classic way: one transfer at a time, nothing
// fetched ahead.
inline constexpr int kFetchAhead = BRIGHTWICK_FETCH_AHEAD;
static_assert(kFetchAhead >= 1 && kFetchAhead <= 16, "BRIGHTWICK_FETCH_AHEAD must be 1 to 16");
// Bytes of scratch files fetched ahead and not yet installed.
inline constexpr std::int64_t kAheadBytes = std::int64_t{64} << 20;
// Scratch files at once: the transfers under way and those that wait for the
// installation. Many, so that small files arriving early never hold back a
// large one behind them while the line would idle (the game patch of the
// benchmark: twenty small patches kept its largest file waiting 1.4 s);
// the bytes bound above is what limits the disk.
inline constexpr int kAheadFiles = 64;

// One transfer fetched ahead.
struct AheadItem {
  // The run's: what to fetch (its target is chosen when it starts), and its
  // size, for the bound on scratch space.
  FetchRequest request;
  std::int64_t size = 0;
  // A stretch of the entity (a bundle's members): bytes `from` to `to`.
  std::int64_t from = 0;
  std::int64_t to = -1;

  // The download layer's, published by `done`: how it ended, and the
  // validator the server gave the entity, so that a cut transfer of a
  // listed file can be kept as a part.
  FetchResult result;
  std::string validator;
  std::atomic<bool> done{false};
  // Bytes so far and the total the server announced, for the dialog.
  std::atomic<std::int64_t> received{0};
  std::atomic<std::int64_t> total{0};
  std::atomic<bool> started{false};
  // Set by the run once it waits for this transfer of a listed file: from
  // then on it is the kept part (download/resume.h), so that a run killed
  // meanwhile leaves it for the next to continue, as its own transfer would.
  std::atomic<bool> keepAsPart{false};
};

// The items of a run and the thread that fetches them.
struct FetchAhead {
  const DownloadSession* session = nullptr;
  // Items live in blocks of kAheadBlock, made as items are added, so that a
  // long manifest with few stale files costs little and no item ever moves.
  static constexpr std::size_t kAheadBlock = 1024;
  using Block = std::unique_ptr<AheadItem>[];
  std::size_t capacity = 0;
  std::unique_ptr<std::unique_ptr<Block>[]> blocks;
  // The run's: items added so far, items it is done with (their scratch
  // files are gone), and whether it will add no more.
  std::atomic<std::size_t> count{0};
  std::atomic<std::size_t> released{0};
  std::atomic<bool> closed{false};
  // Set to end every transfer at once.
  std::atomic<bool> abandon{false};
  // Whether the thread still runs.
  std::atomic<bool> running{false};
  // Last, so that freeing the queue first waits for the thread's own end.
  Thread thread;
};

// A queue for at most `capacity` items within `session`, with its thread
// started; null if the thread cannot be started (the run then fetches one
// file at a time).
FetchAhead* startFetchAhead(const DownloadSession& session, std::size_t capacity);

// Item `index` (below `count`).
AheadItem& aheadItem(FetchAhead& ahead, std::size_t index);

// Adds an item; false once the queue is full.
bool addAhead(FetchAhead& ahead, std::unique_ptr<AheadItem> item);

// Waits until item `index` is done, showing its progress in the dialog
// under `shownName` the way a transfer's own report does, and returns it.
// Meanwhile `whileWaiting` (if set) is called over and over; it says whether
// it did any work (otherwise the wait sleeps a little). A stop
// (gStopRequested) ends the wait with the item failed, if it was not done.
AheadItem& awaitAhead(FetchAhead& ahead, std::size_t index, const std::string& shownName,
                      const std::function<bool()>& whileWaiting = {});

// The run is done with the items before `end`: their scratch files are
// removed and their space goes to the next items.
void releaseAhead(FetchAhead& ahead, std::size_t end);

// Ends the queue: every transfer still under way is abandoned, the thread
// waited for (briefly) and every scratch file but `keep` removed. The queue
// is freed, unless its thread did not end in time.
void endFetchAhead(FetchAhead* ahead, const std::string& keep = std::string());

// The scratch file of slot `slot`.
std::string aheadScratchName(int slot);
