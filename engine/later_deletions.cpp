// Deletes names off the replacements' path, on a helper thread.
#include "engine/later_deletions.h"

#include <utility>

LaterDeletions::LaterDeletions(std::function<StepResult(const std::string&)> deleteStep)
    : deleteName(std::move(deleteStep)) {}

LaterDeletions::~LaterDeletions() {
  if (!helper.joinable()) {
    Finish();
    return;
  }
  {
    std::lock_guard<std::mutex> hold(mutex);
    ending = true;
  }
  changed.notify_all();
  helper.join();
}

void LaterDeletions::Add(const std::string& path) {
  bool pilingUp = false;
  {
    std::lock_guard<std::mutex> hold(mutex);
    waiting.push_back(path);
    pilingUp = waiting.size() > 1;
  }
  if (helper.joinable()) {
    changed.notify_all();
  } else if (pilingUp) {
    helper = StartQuietThread([this] { Work(); });
  }
}

void LaterDeletions::Finish() {
  if (!helper.joinable()) {
    // No other thread touches the names then.
    while (!waiting.empty()) {
      std::string path = std::move(waiting.front());
      waiting.pop_front();
      DeleteNow(path);
    }
    return;
  }
  std::unique_lock<std::mutex> hold(mutex);
  changed.wait(hold, [this] { return waiting.empty() && !busy; });
}

// Only where no helper thread runs.
void LaterDeletions::DeleteNow(const std::string& path) {
  StepResult result = deleteName(path);
  if (!result.Ok() && result.status != StepStatus::Missing) failures.push_back(path);
}

std::vector<std::string> LaterDeletions::TakeFailures() {
  std::lock_guard<std::mutex> hold(mutex);
  std::vector<std::string> taken;
  taken.swap(failures);
  return taken;
}

void LaterDeletions::Work() {
  std::unique_lock<std::mutex> hold(mutex);
  for (;;) {
    changed.wait(hold, [this] { return ending || !waiting.empty(); });
    if (waiting.empty()) return;  // ending, and nothing left
    std::string path = std::move(waiting.front());
    waiting.pop_front();
    busy = true;
    hold.unlock();
    StepResult result = deleteName(path);
    hold.lock();
    busy = false;
    if (!result.Ok() && result.status != StepStatus::Missing) failures.push_back(path);
    changed.notify_all();
  }
}
