// The plan of a script's replacements, for kelvo's cycle and kelvo-check.
#include "rotate/plan.h"

#include <unordered_map>
#include <utility>

#include "platform/files.h"
#include "platform/paths.h"
#include "replace/replace.h"

namespace {

// a followed by b, made in one allocation: a + b copies a and then grows
// the copy for b.
std::string Joined(const std::string& a, const std::string& b) {
  std::string joined;
  joined.reserve(a.size() + b.size());
  joined.append(a).append(b);
  return joined;
}

// Every source name of the script once, resolved; candidates gets, for
// each destination in the table's visiting order, where its sources stand
// among them.
std::vector<std::string> DistinctSources(const RunSettings& settings,
                                         std::vector<std::vector<uint32_t>>& candidates) {
  std::unordered_map<std::string, uint32_t> indexes;
  std::vector<std::string> resolved;
  candidates.reserve(settings.Table.GetCount());
  settings.Table.ForEach([&](const std::string&, const std::vector<std::string>& names) {
    std::vector<uint32_t> list;
    list.reserve(names.size());
    for (const std::string& name : names) {
      auto known = indexes.find(name);
      if (known == indexes.end()) {
        known = indexes.emplace(name, static_cast<uint32_t>(resolved.size())).first;
        resolved.push_back(ResolvePath(name, settings.SourcePath, settings.ProgramDirectory));
      }
      list.push_back(known->second);
    }
    candidates.push_back(std::move(list));
  });
  return resolved;
}

// The resolved name of every destination, in the order the passes visit them.
std::vector<std::string> ResolvedDestinations(const RunSettings& settings) {
  std::vector<std::string> resolved;
  resolved.reserve(settings.Table.GetCount());
  settings.Table.ForEach([&](const std::string& destination, const std::vector<std::string>&) {
    resolved.push_back(
        ResolvePath(destination, settings.DestinationPath, settings.ProgramDirectory));
  });
  return resolved;
}

// The longest name a replacement gives one of its helper files.
const std::string& LongestHelperName() {
  static const std::string name = HelperName(0xFFFFFFFFu, 0xFFFFFFFFu, ".new");
  return name;
}

}  // namespace

std::string ResolvePath(const std::string& name, const std::string& base,
                        const std::string& programDirectory) {
  if (IsAbsolutePath(name)) return name;
  return Joined(base.empty() ? programDirectory : base, name);
}

RunPlan::RunPlan(const RunSettings& settings, FileSystem& fileSystem)
    : fs(fileSystem),
      destinations(ResolvedDestinations(settings)),
      sources(DistinctSources(settings, candidates)),
      sourceSet(fs, sources),
      destinationSet(fs, destinations) {
  names.reserve(destinations.size());
  for (const std::string& destination : destinations) {
    Names made;
    PathCut cut = CutPath(destination);
    made.folderEnd = cut.directoryEnd;
    // The name with the extension ".tmp" in place of its own.
    made.companion = destination.substr(0, cut.nameEnd) + ".tmp";
    made.original = Joined(destination, ".orig");
    made.originalLook = fs.LookAtNewName(made.original, NewNameStep::LinkOrRename);
    names.push_back(std::move(made));
  }
}

DestinationPlan RunPlan::Plan(size_t index) const {
  const Names& known = names[index];
  DestinationPlan plan;
  plan.destination = destinations[index];
  plan.folder = plan.destination.substr(0, known.folderEnd);
  plan.companion = known.companion;
  plan.original = known.original;
  plan.isSource = sourceSet.Contains(plan.destination);
  // The old content is not kept where the companion is a source or the
  // destination itself.
  if (sourceSet.SameEntry(known.companion, plan.destination)) {
    plan.companionPlan = CompanionPlan::IsDestination;
  } else if (sourceSet.Contains(known.companion)) {
    plan.companionPlan = CompanionPlan::IsSource;
  }
  // The original is never made under a name the script lists for something
  // else.
  if (sourceSet.Contains(known.original)) {
    plan.originalPlan = OriginalPlan::ListedAsSource;
  } else if (destinationSet.Contains(known.original)) {
    plan.originalPlan = OriginalPlan::ListedAsDestination;
  } else if (!known.originalLook.Ok()) {
    plan.originalPlan = OriginalPlan::NameRefused;
    plan.originalRefusal = known.originalLook;
  } else {
    // Only a companion kelvo keeps tells of a replacement: one that is a
    // source or the destination itself exists without any, and a folder
    // under the companion's name was never one.
    plan.replacedBefore =
        Exists(plan.original) || (plan.KeepsCompanion() && HoldsFile(plan.companion));
  }
  return plan;
}

void RunPlan::Look(DestinationPlan& plan) const {
  plan.looked = true;
  plan.obstacle = Obstacle::None;
  plan.obstacleResult = StepResult();
  plan.folderAccess = fs.CheckWritableFolder(plan.folder);
  // What keeps a replacement from succeeding, and the system's answer behind it.
  auto blocked = [&plan](Obstacle obstacle, const StepResult& result) {
    plan.obstacle = obstacle;
    plan.obstacleResult = result;
  };
  const StepResult wrongKind{StepStatus::WrongKind};
  // In the order a replacement meets them: the destination, its staged copy
  // in its folder under a helper name, the companion.
  StepResult read = fs.ReadEntry(plan.destination, plan.destinationEntry);
  if (!read.Ok()) return blocked(Obstacle::DestinationUnreadable, read);
  if (plan.destinationEntry.kind == FileKind::Folder)
    return blocked(Obstacle::DestinationIsFolder, wrongKind);
  if (plan.destinationEntry.kind == FileKind::Other)
    return blocked(Obstacle::DestinationNotAFile, wrongKind);
  // A listed source is never written: its helpers and companion are never made.
  if (plan.isSource) return;
  if (!plan.folderAccess.Ok()) return blocked(Obstacle::FolderNotWritable, plan.folderAccess);
  StepResult helper =
      fs.LookAtNewName(Joined(plan.folder, LongestHelperName()), NewNameStep::Create);
  if (!helper.Ok()) return blocked(Obstacle::HelperNameRefused, helper);
  if (!plan.KeepsCompanion()) return;
  EntryInfo companion;
  if (fs.ReadEntry(plan.companion, companion).Ok() && companion.kind == FileKind::Folder)
    return blocked(Obstacle::CompanionIsFolder, wrongKind);
  StepResult named = fs.LookAtNewName(plan.companion, NewNameStep::LinkOrRename);
  if (!named.Ok()) blocked(Obstacle::CompanionNameRefused, named);
}

bool RunPlan::Exists(const std::string& path) const {
  EntryInfo entry;
  return fs.ReadEntry(path, entry).Ok() && entry.kind != FileKind::Missing;
}

bool RunPlan::HoldsFile(const std::string& path) const {
  EntryInfo entry;
  return fs.ReadEntry(path, entry).Ok() &&
         (entry.kind == FileKind::Regular || entry.kind == FileKind::Link);
}

bool RunPlan::DrawsItself(size_t index, const std::string& source) const {
  return sourceSet.SameEntry(source, destinations[index]);
}
