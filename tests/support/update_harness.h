#pragma once

// Runs the update worker inside the test process, in the current folder,
// against a TestHttpServer that stands in as its proxy, with a
// RecordingDialog as its dialog.

#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/recording_dialog.h"
#include "update/update_run.h"

class UpdateHarness {
 public:
  // Points libcurl at `proxy` ("http://127.0.0.1:PORT") and resets the
  // process-wide state a previous run left; the run gets `options`.
  explicit UpdateHarness(const std::string& proxy, const RunOptions& options = RunOptions());
  ~UpdateHarness();
  UpdateHarness(const UpdateHarness&) = delete;
  UpdateHarness& operator=(const UpdateHarness&) = delete;

  // Starts runUpdate on its own thread and waits (bounded) until it has
  // ended the dialog and finished. False if it did not finish in time.
  bool run(int timeoutMs = 30000);
  // Starts runUpdate and returns at once; finish() waits for it.
  void start();
  bool finish(int timeoutMs = 30000);

  RecordingDialog& dialog() { return *dialog_; }

 private:
  RecordingDialog* dialog_;
  UpdateRun* run_;
  bool finished_ = true;
};

// The messages of every entry in the log files of the current folder, in
// order (time stamps removed).
std::vector<std::string> logMessages();

// `names` (requests as a server saw them) with all but the first `inOrder`
// sorted. A run asks for its manifest and the files beside it one after the
// other, but transfers fetched ahead reach the server in no fixed order.
std::vector<std::string> settled(std::vector<std::string> names, std::size_t inOrder);

// `names` with all but the first `inOrder` put in the order `manifest` lists
// them (a name listed nowhere last), each name's requests in the order they
// came: the order a run that fetches nothing ahead asks in.
std::vector<std::string> inManifestOrder(std::vector<std::string> names,
                                         const std::string& manifest, std::size_t inOrder);
