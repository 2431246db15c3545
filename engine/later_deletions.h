// Deletes names off the replacements' path: a previous companion set aside
// by a replacement is freed while the next replacement goes on, or while the
// run waits, and on a disk that waits for every freed block this is most of
// what a replacement would otherwise wait for. A helper thread starts only
// when names pile up (a pass without waits); a run that drains the names
// before every wait, or sets aside just one, deletes them itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/leftover.h"
#include "platform/platform.h"

class LaterDeletions {
 public:
  // startThread gives a thread that is not joinable when the system
  // cannot start one; the names are then deleted by the caller.
  explicit LaterDeletions(std::function<StepResult(const std::string&)> deleteStep = DeleteName,
                          ThreadStarter startThread = StartQuietThread);
  // Deletes whatever is still waiting before it goes.
  ~LaterDeletions();
  LaterDeletions(const LaterDeletions&) = delete;
  LaterDeletions& operator=(const LaterDeletions&) = delete;

  void Add(const std::string& path);
  // Returns once everything added so far is deleted (or failed): deletes it
  // here, or waits for the helper thread to.
  void Finish();
  // Names that could not be deleted since the last call, with why.
  std::vector<Leftover> TakeFailures();

 private:
  void Work();
  void DeleteNow(const std::string& path);

  void DeleteWaitingNow();

  std::function<StepResult(const std::string&)> deleteName;
  ThreadStarter startHelper;
  bool helperRefused = false;  // no thread could be started: the caller deletes
  void NoteFailure(const std::string& path, const StepResult& result);

  std::mutex mutex;
  std::condition_variable added;    // the helper waits for names or the end
  std::condition_variable drained;  // Finish waits for the helper
  std::deque<std::string> waiting;
  std::vector<Leftover> failures;
  // Read without the lock after every replacement, so that a run whose
  // deletions succeed never contends with the helper for it.
  std::atomic<bool> hasFailures{false};
  bool busy = false;       // the helper is deleting a name it took
  bool finishing = false;  // Finish waits for the names to be drained
  bool ending = false;
  std::thread helper;
};
