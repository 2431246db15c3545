// Tests of the deletions made off the replacements' path: everything added
// is deleted by the time Finish returns or the object goes, whether a
// helper thread did it or not, and what fails is reported once.
#include "engine/later_deletions.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

// A deleting step that records what it deleted, and on which thread.
struct Recorder {
  std::mutex mutex;
  std::set<std::string> deleted;
  std::set<std::thread::id> threads;
  std::set<std::string> refused;

  std::function<StepResult(const std::string&)> Step() {
    return [this](const std::string& path) {
      std::lock_guard<std::mutex> hold(mutex);
      StepResult result;
      threads.insert(std::this_thread::get_id());
      if (refused.count(path) != 0) {
        result.status = StepStatus::Failed;
        result.error = 13;
      } else if (path.find("absent") != std::string::npos) {
        result.status = StepStatus::Missing;
      } else {
        deleted.insert(path);
      }
      return result;
    };
  }
};

std::vector<std::string> PathsOf(const std::vector<Leftover>& leftovers) {
  std::vector<std::string> paths;
  for (const Leftover& leftover : leftovers) paths.push_back(leftover.path);
  return paths;
}

TEST(LaterDeletions, OneNameIsDeletedByTheCallerAtFinish) {
  Recorder recorder;
  LaterDeletions later(recorder.Step());
  later.Add("a.del");
  EXPECT_TRUE(recorder.deleted.empty());
  later.Finish();
  EXPECT_EQ(recorder.deleted, std::set<std::string>{"a.del"});
  EXPECT_EQ(recorder.threads, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST(LaterDeletions, NamesPilingUpAreDeletedByAHelperThread) {
  Recorder recorder;
  recorder.refused.insert("17.del");
  std::set<std::string> added;
  {
    LaterDeletions later(recorder.Step());
    for (int i = 0; i < 200; ++i) {
      later.Add(std::to_string(i) + ".del");
      added.insert(std::to_string(i) + ".del");
    }
    later.Add("absent.del");
    later.Finish();
    std::lock_guard<std::mutex> hold(recorder.mutex);
    added.erase("17.del");
    EXPECT_EQ(recorder.deleted, added);
    EXPECT_EQ(recorder.threads.count(std::this_thread::get_id()), 0u);
    EXPECT_EQ(PathsOf(later.TakeFailures()), std::vector<std::string>{"17.del"});
  }
}

TEST(LaterDeletions, FailuresAreReportedOnce) {
  Recorder recorder;
  recorder.refused = {"b.del", "c.del"};
  LaterDeletions later(recorder.Step());
  later.Add("a.del");
  later.Add("b.del");
  later.Add("c.del");
  later.Add("absent.del");
  later.Finish();
  std::vector<std::string> failures = PathsOf(later.TakeFailures());
  EXPECT_EQ(std::set<std::string>(failures.begin(), failures.end()),
            (std::set<std::string>{"b.del", "c.del"}));
  EXPECT_TRUE(later.TakeFailures().empty());
}

// A process or memory limit can refuse the helper thread: the caller then
// deletes the names as they pile up, once it is asked to start a thread.
TEST(LaterDeletions, WithoutAThreadTheCallerDeletesAsNamesPileUp) {
  Recorder recorder;
  recorder.refused.insert("c.del");
  int startsAsked = 0;
  LaterDeletions later(recorder.Step(), [&](std::function<void()>) {
    ++startsAsked;
    return std::thread();
  });
  later.Add("a.del");
  EXPECT_TRUE(recorder.deleted.empty());
  later.Add("b.del");
  EXPECT_EQ(recorder.deleted, (std::set<std::string>{"a.del", "b.del"}));
  later.Add("c.del");
  later.Add("d.del");
  EXPECT_EQ(recorder.deleted, (std::set<std::string>{"a.del", "b.del", "d.del"}));
  std::vector<Leftover> failures = later.TakeFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].path, "c.del");
  EXPECT_EQ(failures[0].result.error, 13);
  later.Finish();
  EXPECT_EQ(startsAsked, 1);
  EXPECT_EQ(recorder.threads, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST(LaterDeletions, WhatIsLeftIsDeletedWhenTheObjectGoes) {
  for (int count : {1, 50}) {
    Recorder recorder;
    {
      LaterDeletions later(recorder.Step());
      for (int i = 0; i < count; ++i) later.Add(std::to_string(i) + ".del");
    }
    EXPECT_EQ(recorder.deleted.size(), static_cast<size_t>(count));
  }
}

}  // namespace
