// Deletes names off the replacements' path: a previous companion set aside
// by a replacement is freed by a helper thread while the next replacement
// goes on, and on a disk that waits for every freed block this is most of
// what a replacement would otherwise wait for.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

class LaterDeletions {
 public:
  explicit LaterDeletions(std::function<StepResult(const std::string&)> deleteStep = DeleteName);
  // Deletes whatever is still waiting before it goes.
  ~LaterDeletions();
  LaterDeletions(const LaterDeletions&) = delete;
  LaterDeletions& operator=(const LaterDeletions&) = delete;

  void Add(const std::string& path);
  // Returns once everything added so far is deleted (or failed).
  void Finish();
  // Names that could not be deleted since the last call.
  std::vector<std::string> TakeFailures();

 private:
  void Work();

  std::function<StepResult(const std::string&)> deleteName;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> waiting;
  std::vector<std::string> failures;
  bool busy = false;  // the helper is deleting a name it took
  bool ending = false;
  std::thread helper;
};
