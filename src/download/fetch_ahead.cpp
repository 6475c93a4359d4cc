#include "download/fetch_ahead.h"

#include <curl/curl.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "base/names.h"
#include "download/curl_transfer.h"
#include "download/progress.h"
#include "download/resume.h"
#include "platform/dialog.h"
#include "platform/game_folder.h"
#include "platform/resource_ids.h"
#include "platform/thread.h"
#include "shared/base_url.h"
#include "shared/globals.h"

namespace {

// How long the thread waits on its sockets before it looks at the queue
// again; the run's stop and new items are seen within this.
constexpr int kPollMs = 10;
// How long the end of the queue waits for its thread.
constexpr int kEndWaitMs = 10000;
// How often one item may be put back after the server refused its
// connection while others went through.
constexpr int kMostRequeues = 2 * BRIGHTWICK_FETCH_AHEAD;
// A transfer beyond the one the run waits for starts only while those under
// way have fewer bytes than this still to come. Transfers at once share the
// line, so a large file behind the awaited one would take half its rate and
// leave the run idle (then the line, once the run's local work piles up at
// the end); large files go in turn instead. The lead keeps the next request
// on its way before the line falls idle: a round trip of 150 ms at 100
// Mbit/s is 1.9 MB. Small files, below it, still go K at once.
constexpr std::int64_t kLeadBytes = std::int64_t{2} << 20;

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

// A transfer under way: the easy handle it runs on and what libcurl needs
// while it runs.
struct Running {
  std::size_t index = 0;
  AheadItem* item = nullptr;
  bool part = false;  // its file is the kept part now
  CurlHandle handle;
  Sha256 hash;
  DownloadSink sink;
  TransferSetup setup;
  RangeRequest range;
};

// What the server named the entity with, for a part kept of it.
std::string validatorOf(const Answer& answer) {
  return answer.etag.empty() || answer.etag.compare(0, 2, "W/") == 0 ? answer.lastModified
                                                                     : answer.etag;
}

int onAheadProgress(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
  auto* running = static_cast<Running*>(clientp);
  running->item->received = static_cast<std::int64_t>(dlnow);
  running->item->total = static_cast<std::int64_t>(dltotal);
  return gStopRequested ? 1 : 0;
}

// Whether a stretch's answer is that stretch: 206 with its Content-Range.
// Anything else (a server that ignores ranges sends the whole entity) is
// refused before a byte is stored.
bool openStretch(DownloadSink& sink) {
  const auto* range = static_cast<const RangeRequest*>(sink.owner);
  const std::string expected =
      "bytes " + std::to_string(range->from) + "-" + std::to_string(range->to) + "/";
  if (sink.answer.contentRange.compare(0, expected.size(), expected) != 0) {
    sink.mismatch = true;
    return false;
  }
  sink.file = sink.owned.get();
  return sink.file != nullptr;
}

// A failure that says nothing of the file: the server refused one more
// connection or answered "busy". Worth another try on fewer connections.
bool refusedConnection(const TransferDone& done, const AheadItem& item) {
  if (item.received > 0) return false;
  switch (done.result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return true;
    case CURLE_HTTP_RETURNED_ERROR:
      return done.status == 503 || done.status == 429;
    default:
      return false;
  }
}

class AheadThread {
 public:
  explicit AheadThread(FetchAhead& ahead) : ahead_(ahead), slots_(kAheadFiles, false) {}

  void run();

 private:
  bool stopping() const { return ahead_.abandon || gStopRequested; }
  void releaseSlots();
  std::int64_t bytesToCome() const;
  bool startNext();
  void start(std::size_t index);
  void finish(Running& running, CURLcode code);
  void abandonAll();
  void keepParts();

  FetchAhead& ahead_;
  MultiHandle multi_{curl_multi_init()};
  std::vector<std::unique_ptr<Running>> running_;
  std::vector<CurlHandle> idle_;
  std::vector<bool> slots_;
  std::vector<int> slotOf_;
  std::vector<int> requeues_;
  std::deque<std::size_t> requeued_;
  std::size_t next_ = 0;
  std::size_t seenReleased_ = 0;
  std::int64_t outstanding_ = 0;  // sizes of started items not yet released
  int most_ = kFetchAhead;        // fewer once the server refused connections
};

void AheadThread::releaseSlots() {
  const std::size_t released = ahead_.released;
  for (; seenReleased_ < released; ++seenReleased_) {
    if (seenReleased_ < slotOf_.size() && slotOf_[seenReleased_] >= 0) {
      slots_[static_cast<std::size_t>(slotOf_[seenReleased_])] = false;
      outstanding_ -= aheadItem(ahead_, seenReleased_).size;
    }
  }
}

std::int64_t AheadThread::bytesToCome() const {
  std::int64_t bytes = 0;
  for (const auto& running : running_) {
    bytes += std::max<std::int64_t>(0, running->item->size - running->item->received);
  }
  return bytes;
}

// Starts the next item if the bounds allow; false if none was started.
bool AheadThread::startNext() {
  if (static_cast<int>(running_.size()) >= most_) return false;
  const bool fromRequeue = !requeued_.empty();
  const std::size_t index = fromRequeue ? requeued_.front() : next_;
  if (!fromRequeue && index >= ahead_.count) return false;
  AheadItem& item = aheadItem(ahead_, index);
  auto slot = std::find(slots_.begin(), slots_.end(), false);
  if (slot == slots_.end()) return false;
  // The item the run waits for next always fits; the ones after it only
  // within the bound.
  const bool needed = index == ahead_.released;
  if (!needed && outstanding_ + item.size > kAheadBytes) return false;
  if (!needed && bytesToCome() >= kLeadBytes) return false;
  if (fromRequeue) {
    requeued_.pop_front();
  } else {
    ++next_;
  }
  *slot = true;
  if (slotOf_.size() <= index) slotOf_.resize(index + 1, -1);
  slotOf_[index] = static_cast<int>(slot - slots_.begin());
  outstanding_ += item.size;
  start(index);
  return true;
}

void AheadThread::start(std::size_t index) {
  AheadItem& item = aheadItem(ahead_, index);
  auto running = std::make_unique<Running>();
  running->index = index;
  running->item = &item;
  if (!idle_.empty()) {
    running->handle = std::move(idle_.back());
    idle_.pop_back();
  } else {
    running->handle.reset(curl_easy_init());
  }
  const std::string file = aheadScratchName(slotOf_[index]);
  item.result = FetchResult();
  item.result.file = file;
  item.received = 0;
  item.total = 0;
  item.started = true;
  FilePtr out = removeFile(file) ? createNewFile(file) : nullptr;
  if (!running->handle || !out) {
    // The run falls back to a transfer of its own for this file, which
    // shows the message box where a file cannot be made.
    item.result.outcome = DownloadOutcome::notWritten;
    item.done.store(true, std::memory_order_release);
    return;
  }
  DownloadSink& sink = running->sink;
  sink.fileName = file;
  sink.file = out.get();
  sink.owned = std::move(out);
  sink.limit = item.request.limit;
  sink.hash = item.request.hash ? &running->hash : nullptr;
  sink.proxy = &ahead_.session->proxy;
  const RangeRequest* range = nullptr;
  if (item.to >= 0) {
    running->range.from = item.from;
    running->range.to = item.to;
    range = &running->range;
    sink.openBody = openStretch;
    sink.owner = &running->range;
    // The file is made already, but nothing is written to it before the
    // answer is known to be the stretch asked for.
    sink.file = nullptr;
  }
  const std::string url = std::string(kUpdateBaseUrl) + item.request.urlPath;
  configureTransfer(running->handle.get(), url, sink, range, running->setup);
  curl_easy_setopt(running->handle.get(), CURLOPT_XFERINFOFUNCTION, onAheadProgress);
  curl_easy_setopt(running->handle.get(), CURLOPT_XFERINFODATA, running.get());
  curl_easy_setopt(running->handle.get(), CURLOPT_PRIVATE, running.get());
  if (curl_multi_add_handle(multi_.get(), running->handle.get()) != CURLM_OK) {
    item.result.outcome = DownloadOutcome::failed;
    item.result.error = "cannot start the transfer";
    item.done.store(true, std::memory_order_release);
    return;
  }
  running_.push_back(std::move(running));
}

void AheadThread::finish(Running& running, CURLcode code) {
  AheadItem& item = *running.item;
  curl_multi_remove_handle(multi_.get(), running.handle.get());
  TransferDone done = transferDone(running.handle.get(), code, running.setup);
  DownloadSink& sink = running.sink;
  if (sink.mismatch) {
    done.complete = false;
    done.result = CURLE_RANGE_ERROR;
  }
  finishTransfer(sink, done, running.hash, &item.result);
  item.validator = validatorOf(sink.answer);
  // More than the listed size is no part of the listed file; and a part the
  // disk refused would hold the space the log needs.
  if (item.result.file == kPartialFile && (sink.overLimit || sink.writeFailed)) discardPart();
  if (item.result.outcome != DownloadOutcome::complete && !stopping() &&
      refusedConnection(done, item)) {
    if (requeues_.size() <= running.index) requeues_.resize(running.index + 1, 0);
    if (most_ > 1 && requeues_[running.index]++ < kMostRequeues) {
      // The server takes fewer connections than this run opened: go on
      // with those that work, and try this one again on one of them.
      most_ = std::max(1, static_cast<int>(running_.size()));
      slots_[static_cast<std::size_t>(slotOf_[running.index])] = false;
      outstanding_ -= item.size;
      slotOf_[running.index] = -1;
      requeued_.push_front(running.index);
      idle_.push_back(std::move(running.handle));
      return;
    }
  }
  if (sink.mismatch && item.result.error.empty()) item.result.error = "ranges not served";
  idle_.push_back(std::move(running.handle));
  item.done.store(true, std::memory_order_release);
}

// Makes the transfer the run waits for the kept part, once its answer has
// begun (its validator is known then). The bytes go on into the same file
// under its new name.
void AheadThread::keepParts() {
  for (auto& running : running_) {
    AheadItem& item = *running->item;
    if (running->part || !item.keepAsPart || running->sink.stored == 0) continue;
    running->part = true;
    if (adoptPart(item.result.file, item.request.part, validatorOf(running->sink.answer))) {
      item.result.file = kPartialFile;
      running->sink.fileName = kPartialFile;
    }
  }
}

void AheadThread::abandonAll() {
  for (auto& running : running_) {
    curl_multi_remove_handle(multi_.get(), running->handle.get());
    running->sink.owned.reset();
    running->item->result.outcome = DownloadOutcome::failed;
    running->item->result.cut = true;
    running->item->validator = running->sink.answer.etag.empty() ? running->sink.answer.lastModified
                                                                 : running->sink.answer.etag;
    running->item->done.store(true, std::memory_order_release);
  }
  running_.clear();
}

void AheadThread::run() {
  if (!multi_) return;
  curl_multi_setopt(multi_.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(kFetchAhead));
  for (;;) {
    releaseSlots();
    if (stopping()) break;
    while (startNext()) {
    }
    if (running_.empty() && requeued_.empty() && ahead_.closed && next_ >= ahead_.count) break;
    keepParts();
    int active = 0;
    curl_multi_perform(multi_.get(), &active);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      Running* done = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &done);
      CURLcode code = message->data.result;
      auto it = std::find_if(running_.begin(), running_.end(),
                             [done](const auto& running) { return running.get() == done; });
      if (it == running_.end()) continue;
      std::unique_ptr<Running> finished = std::move(*it);
      running_.erase(it);
      finish(*finished, code);
    }
    curl_multi_poll(multi_.get(), nullptr, 0, kPollMs, nullptr);
  }
  abandonAll();
  // Items never started are done too, failed, so that nobody waits on them.
  for (std::size_t index = next_; index < ahead_.count; ++index) {
    AheadItem& item = aheadItem(ahead_, index);
    if (item.done) continue;
    item.result.outcome = DownloadOutcome::failed;
    item.done.store(true, std::memory_order_release);
  }
  for (std::size_t index : requeued_) {
    aheadItem(ahead_, index).result.outcome = DownloadOutcome::failed;
    aheadItem(ahead_, index).done.store(true, std::memory_order_release);
  }
}

void aheadWorker(void* arg) {
  auto* ahead = static_cast<FetchAhead*>(arg);
  {
    AheadThread thread(*ahead);
    thread.run();
  }
  ahead->running.store(false, std::memory_order_release);
}

// The dialog's view of an item's progress, as a transfer's own report
// shows it.
void showProgress(const AheadItem& item, const std::string& shownName, int* shown) {
  const std::int64_t total = item.total;
  int percent = progressPercent(static_cast<double>(item.received), static_cast<double>(total));
  if (percent == *shown) return;
  *shown = percent;
  setProgressRange(gDialog, IDC_PROGRESS, 0, 100);
  setProgressPos(gDialog, IDC_PROGRESS, percent);
  setStatusText("Updating " + shownName + " - " + std::to_string(percent) + "%");
}

}  // namespace

AheadItem& aheadItem(FetchAhead& ahead, std::size_t index) {
  return *ahead.blocks[index / FetchAhead::kAheadBlock][index % FetchAhead::kAheadBlock];
}

std::string aheadScratchName(int slot) {
  return kAheadScratchPrefix + std::to_string(slot);
}

FetchAhead* startFetchAhead(const DownloadSession& session, std::size_t capacity) {
  auto ahead = std::make_unique<FetchAhead>();
  ahead->session = &session;
  ahead->capacity = capacity;
  ahead->blocks.reset(
      new std::unique_ptr<FetchAhead::Block>[capacity / FetchAhead::kAheadBlock + 1]);
  ahead->running = true;
  ahead->thread = startThread(aheadWorker, ahead.get());
  if (!ahead->thread) return nullptr;
  return ahead.release();
}

bool addAhead(FetchAhead& ahead, std::unique_ptr<AheadItem> item) {
  const std::size_t index = ahead.count.load(std::memory_order_relaxed);
  if (index >= ahead.capacity) return false;
  auto& block = ahead.blocks[index / FetchAhead::kAheadBlock];
  if (!block) block.reset(new std::unique_ptr<AheadItem>[FetchAhead::kAheadBlock]);
  block[index % FetchAhead::kAheadBlock] = std::move(item);
  ahead.count.store(index + 1, std::memory_order_release);
  return true;
}

AheadItem& awaitAhead(FetchAhead& ahead, std::size_t index, const std::string& shownName,
                      const std::function<bool()>& whileWaiting) {
  AheadItem& item = aheadItem(ahead, index);
  int shown = -1;
  while (!item.done.load(std::memory_order_acquire)) {
    if (item.started) showProgress(item, shownName, &shown);
    if (gStopRequested) ahead.abandon = true;
    if (!whileWaiting || !whileWaiting()) sleepOneMillisecond();
  }
  // The last report of a transfer shows where it ended.
  if (item.result.outcome == DownloadOutcome::complete) {
    item.received = item.total = std::max<std::int64_t>(item.total, 1);
    showProgress(item, shownName, &shown);
  }
  return item;
}

void releaseAhead(FetchAhead& ahead, std::size_t end) {
  for (std::size_t index = ahead.released; index < end; ++index) {
    AheadItem& item = aheadItem(ahead, index);
    // A kept part stays: the run has used it, or it is to be continued.
    if (item.done && !item.result.file.empty() && item.result.file != kPartialFile) {
      removeFile(item.result.file);
    }
  }
  if (end > ahead.released) ahead.released = end;
}

void endFetchAhead(FetchAhead* ahead, const std::string& keep) {
  if (!ahead) return;
  ahead->closed = true;
  ahead->abandon = true;
  for (int waited = 0; ahead->running.load(std::memory_order_acquire) && waited < kEndWaitMs;
       ++waited) {
    sleepOneMillisecond();
  }
  if (ahead->running) return;  // the thread may still use it: left alone
  for (int slot = 0; slot < kAheadFiles; ++slot) {
    if (aheadScratchName(slot) != keep) removeFile(aheadScratchName(slot));
  }
  delete ahead;
}
