// Deletes names off the replacements' path, on a helper thread.
#include "engine/later_deletions.h"

#include <utility>

LaterDeletions::LaterDeletions(std::function<StepResult(const std::string&)> deleteStep,
                               ThreadStarter startThread)
    : deleteName(std::move(deleteStep)), startHelper(std::move(startThread)) {}

LaterDeletions::~LaterDeletions() {
  if (!helper.joinable()) {
    Finish();
    return;
  }
  {
    std::lock_guard<std::mutex> hold(mutex);
    ending = true;
  }
  added.notify_one();
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
    added.notify_one();
    return;
  }
  if (!pilingUp) return;
  if (!helperRefused) {
    helper = startHelper([this] { Work(); });
    helperRefused = !helper.joinable();
  }
  // Out of threads (a limit on processes or memory): the run goes on and
  // deletes what it set aside itself, as it would without a helper.
  if (helperRefused) DeleteWaitingNow();
}

void LaterDeletions::Finish() {
  if (!helper.joinable()) {
    DeleteWaitingNow();
    return;
  }
  std::unique_lock<std::mutex> hold(mutex);
  finishing = true;
  drained.wait(hold, [this] { return waiting.empty() && !busy; });
  finishing = false;
}

// Only where no helper thread runs: no other thread touches the names then.
void LaterDeletions::DeleteWaitingNow() {
  while (!waiting.empty()) {
    std::string path = std::move(waiting.front());
    waiting.pop_front();
    DeleteNow(path);
  }
}

// Only where no helper thread runs.
void LaterDeletions::DeleteNow(const std::string& path) {
  StepResult result = deleteName(path);
  if (!result.Ok() && result.status != StepStatus::Missing) NoteFailure(path, result);
}

// With the lock held, or where no helper thread runs.
void LaterDeletions::NoteFailure(const std::string& path, const StepResult& result) {
  failures.push_back({path, result});
  hasFailures.store(true, std::memory_order_release);
}

std::vector<Leftover> LaterDeletions::TakeFailures() {
  std::vector<Leftover> taken;
  if (!hasFailures.load(std::memory_order_acquire)) return taken;
  std::lock_guard<std::mutex> hold(mutex);
  taken.swap(failures);
  hasFailures.store(false, std::memory_order_relaxed);
  return taken;
}

void LaterDeletions::Work() {
  std::unique_lock<std::mutex> hold(mutex);
  for (;;) {
    added.wait(hold, [this] { return ending || !waiting.empty(); });
    if (waiting.empty()) return;  // ending, and nothing left
    std::string path = std::move(waiting.front());
    waiting.pop_front();
    busy = true;
    hold.unlock();
    StepResult result = deleteName(path);
    hold.lock();
    busy = false;
    if (!result.Ok() && result.status != StepStatus::Missing) NoteFailure(path, result);
    if (finishing && waiting.empty()) drained.notify_all();
  }
}
