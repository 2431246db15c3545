// Deletes names off the replacements' path, on a helper thread.
#include "engine/later_deletions.h"

#include <utility>

LaterDeletions::LaterDeletions(std::function<StepResult(const std::string&)> deleteStep)
    : deleteName(std::move(deleteStep)) {}

LaterDeletions::~LaterDeletions() {
  {
    std::lock_guard<std::mutex> hold(mutex);
    ending = true;
  }
  changed.notify_all();
  if (helper.joinable()) helper.join();
}

void LaterDeletions::Add(const std::string& path) {
  {
    std::lock_guard<std::mutex> hold(mutex);
    waiting.push_back(path);
  }
  // The helper starts with the first name: a run that sets nothing aside
  // has no thread.
  if (!helper.joinable()) helper = StartQuietThread([this] { Work(); });
  changed.notify_all();
}

void LaterDeletions::Finish() {
  std::unique_lock<std::mutex> hold(mutex);
  changed.wait(hold, [this] { return waiting.empty() && !busy; });
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
