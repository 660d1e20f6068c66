#include "BatchEnd.h"

#include <algorithm>

namespace {

std::string Files(int N) { return std::to_string(N) + (N == 1 ? " file" : " files"); }

}  // namespace

std::string EndText(TBatchEnd End, const TBatchCounts& Counts, const std::vector<TFinishEntry>& Entries) {
  if (End == TBatchEnd::Finished && Counts.AlreadyConverted == 0 && Counts.NotStarted == 0 &&
      (Counts.Converted > 0 || !Entries.empty()))
    return FinishText(Entries, Counts.Files);
  std::string text = End == TBatchEnd::Stopped               ? "File conversion stopped."
                     : End == TBatchEnd::StoppedAfterCurrent ? "File conversion process finished after the files being converted."
                                                             : "File conversion process finished.";
  struct TKind {
    TRowState State;
    const char* Words;
  };
  static const TKind kinds[] = {{TRowState::Failed, "failed"},
                                {TRowState::Stopped, "stopped"},
                                {TRowState::Skipped, "skipped"},
                                {TRowState::Completed, "came out shorter"}};
  std::vector<std::pair<int, std::string>> parts;
  for (const TKind& kind : kinds) {
    const auto n = std::count_if(Entries.begin(), Entries.end(),
                                 [&](const TFinishEntry& e) { return e.State == kind.State; });
    if (n > 0) parts.emplace_back(static_cast<int>(n), kind.Words);
  }
  if (Counts.AlreadyConverted > 0) parts.emplace_back(Counts.AlreadyConverted, "already converted");
  if (Counts.NotStarted > 0) parts.emplace_back(Counts.NotStarted, "not started");
  std::string counts;
  for (size_t i = 0; i < parts.size(); ++i)
    counts += (i == 0 ? "" : ", ") + (i == 0 && Counts.Converted == 0 ? Files(parts[i].first)
                                                                      : std::to_string(parts[i].first)) +
              " " + parts[i].second;
  if (Counts.Converted > 0)
    text += " " + std::to_string(Counts.Converted) + " of " + Files(Counts.Files) + " converted" +
            (counts.empty() ? "" : ", " + counts);
  else
    text += " Nothing was converted" + (counts.empty() ? std::string() : " (" + counts + ")");
  if (Entries.empty()) return text + ".";
  text += ":\n";
  constexpr size_t kListed = 10;
  for (size_t i = 0; i < Entries.size() && i < kListed; ++i) text += "\n" + Entries[i].Reason;
  if (Entries.size() > kListed) text += "\nand " + std::to_string(Entries.size() - kListed) + " more: see the Log.";
  return text;
}
