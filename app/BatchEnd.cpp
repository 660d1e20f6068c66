#include "BatchEnd.h"


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
  std::vector<std::pair<int, std::string>> parts = FinishCounts(Entries);
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
  return Entries.empty() ? text + "." : text + FinishReasons(Entries);
}
