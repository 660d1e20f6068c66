#include "BatchRun.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "BatchSettings.h"

std::string StatusText(const TRowStatus& Status) {
  switch (Status.State) {
    case TRowState::Listed: return "";
    case TRowState::Waiting: return " ";
    case TRowState::Converting:
      if (Status.Percent >= 0) return std::to_string(Status.Percent) + "% Completed";
      return DurationText(std::max<int64_t>(0, Status.ConvertedMs) * 1000) + " converted";
    case TRowState::Completed:
      if (Status.ExpectedMs > 0) return "Completed (" + ShorterText(Status.ConvertedMs, Status.ExpectedMs) + ")";
      return "Completed";
    case TRowState::Stopped: return "Stopped";
    case TRowState::Failed: return "Failed";
    case TRowState::Skipped: return "Skipped";
    case TRowState::AlreadyConverted: return kSkippedConverted;
    case TRowState::NotFound: return "not found";
  }
  return "";
}

int ProgressPercent(int64_t CurrentMs, int64_t TotalMs) {
  if (TotalMs <= 0) return -1;
  return static_cast<int>(std::clamp<int64_t>(CurrentMs * 100 / TotalMs, 0, 100));
}

TRowStatus ProgressStatus(int64_t CurrentMs, int64_t TotalMs) {
  TRowStatus s{TRowState::Converting, -1, std::max<int64_t>(0, CurrentMs)};
  // Past its total the file is longer than its header said (a cut-and-joined
  // recording): how much is left is not known.
  if (CurrentMs <= TotalMs) s.Percent = std::min(99, ProgressPercent(CurrentMs, TotalMs));
  return s;
}

std::string ProgressLine(int FrameNumber, int CurrentMs, int Fps) {
  return "Current Frame=" + std::to_string(FrameNumber) + " Time=" + std::to_string(CurrentMs / 1000) +
         " FPS=" + std::to_string(Fps);
}

namespace {

// Removes Prefix from the start of Text; false when Text does not start with it.
bool StripPrefix(std::string& Text, const std::string& Prefix) {
  if (Text.compare(0, Prefix.size(), Prefix) != 0) return false;
  Text.erase(0, Prefix.size());
  return true;
}

// A reason as the tail of a sentence: its lines joined as sentences of one
// line, a lower-case first word ("No space" but not "I/O"), a full stop.
std::string AsReason(const std::string& Message) {
  std::string text;
  for (char c : Message) {
    const bool lineEnd = c == '\r' || c == '\n';
    if (!lineEnd)
      text += c;
    else if (!text.empty() && text.back() != ' ')
      text += std::string(text.back() == '.' || text.back() == ':' ? "" : ".") + " ";
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1])))
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text + ".";
}

std::string FileNameOf(const std::string& Path) { return Path.substr(Path.find_last_of('/') + 1); }

std::string FolderOf(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

}  // namespace

std::string FailureText(const std::string& Message, const std::string& InputPath, const std::string& OutputPath) {
  std::string reason = Message;
  // The engine's own wordings of a failed write and of the output's final
  // save; anything else is about converting the input.
  bool writing = !OutputPath.empty() && (StripPrefix(reason, "av_interleaved_write_frame(): ") ||
                                         StripPrefix(reason, "av_write_trailer(): ") ||
                                         StripPrefix(reason, "Could not save '" + OutputPath + "': "));
  // The header's failure carries no reason of its own, only a guess at one.
  if (!writing && !OutputPath.empty() && StripPrefix(reason, "Could not write header for output file #")) {
    writing = true;
    reason = "writing its header failed";
  }
  if (writing)
    return "Could not write '" + FileNameOf(OutputPath) + "' in " + FolderOf(OutputPath) + ": " + AsReason(reason);
  StripPrefix(reason, InputPath + ": ");
  const std::string head = "Could not convert '" + FileNameOf(InputPath) + "'";
  return reason.empty() ? head + "." : head + ": " + AsReason(reason);
}

std::vector<std::pair<int, std::string>> FinishCounts(const std::vector<TFinishEntry>& Entries) {
  struct TKind {
    TRowState State;
    const char* Words;
  };
  static const TKind kinds[] = {{TRowState::Failed, "failed"},
                                {TRowState::Stopped, "stopped"},
                                {TRowState::Skipped, "skipped"},
                                {TRowState::Completed, "came out shorter"}};
  std::vector<std::pair<int, std::string>> counts;
  for (const TKind& kind : kinds) {
    const auto n = std::count_if(Entries.begin(), Entries.end(),
                                 [&](const TFinishEntry& e) { return e.State == kind.State; });
    if (n > 0) counts.emplace_back(static_cast<int>(n), kind.Words);
  }
  return counts;
}

std::string FinishReasons(const std::vector<TFinishEntry>& Entries) {
  std::string text = ":\n";
  constexpr size_t kListed = 10;
  for (size_t i = 0; i < Entries.size() && i < kListed; ++i) text += "\n" + Entries[i].Reason;
  if (Entries.size() > kListed) text += "\nand " + std::to_string(Entries.size() - kListed) + " more: see the Log.";
  return text;
}

std::string FinishText(const std::vector<TFinishEntry>& Entries, int Files) {
  std::string text = "File conversion process finished.";
  if (Entries.empty()) return text;
  std::string counts;
  for (const auto& [n, words] : FinishCounts(Entries)) {
    counts += counts.empty() ? " " + std::to_string(n) + " of " + std::to_string(Files) +
                                   (Files == 1 ? " file " : " files ")
                             : ", " + std::to_string(n) + " ";
    counts += words;
  }
  return text + counts + FinishReasons(Entries);
}

std::string OutputFolderText(const std::string& Folder, const std::string& Problem) {
  return "The output folder \"" + Folder + "\" cannot be used: " + Problem +
         ". The files are kept in the list: convert them when the folder can be used, or choose another output "
         "folder.";
}

std::string BatchProgressLine(const TBatchProgress& Progress) {
  const auto hms = [](int64_t Ms) { return DurationText(std::max<int64_t>(0, Ms) * 1000); };
  std::string line = std::to_string(Progress.Done) + " of " + std::to_string(Progress.Total) + " files done, " +
                     hms(Progress.ElapsedMs) + " elapsed, ";
  line += Progress.LeftMs < 0 ? "estimating time left" : "about " + hms(Progress.LeftMs) + " left";
  return line;
}

void TBatchRun::Begin(int Parallel) {
  FState = Running;
  ++FRunId;
  FParallel = std::max(1, Parallel);
  FStarted = false;
  FStopping = false;
  FTasks.clear();
}

void TBatchRun::AddTask(int Row, int64_t DurationMs, const std::string& OutputPath) {
  FTasks.push_back({Row, DurationMs, OutputPath, DurationMs});
}

int64_t TBatchRun::HeaderDurationOfTask(int Task) const {
  return Task >= 0 && Task < TaskCount() ? FTasks[static_cast<size_t>(Task)].HeaderMs : -1;
}

bool DurationNeedsCorrection(int64_t RealMs, int64_t HeaderMs) {
  if (RealMs <= 0) return false;
  return HeaderMs <= 0 || std::abs(RealMs - HeaderMs) > 1000;
}

int TBatchRun::RowOfTask(int Task) const {
  return Task >= 0 && Task < TaskCount() ? FTasks[static_cast<size_t>(Task)].Row : -1;
}

std::string TBatchRun::OutputOfTask(int Task) const {
  return Task >= 0 && Task < TaskCount() ? FTasks[static_cast<size_t>(Task)].OutputPath : std::string();
}

int64_t TBatchRun::DurationOfTask(int Task) const {
  return Task >= 0 && Task < TaskCount() ? FTasks[static_cast<size_t>(Task)].DurationMs : -1;
}

void TBatchRun::TaskProgress(int Task, int64_t CurrentMs, int64_t TotalMs) {
  if (Task < 0 || Task >= TaskCount()) return;
  TTask& t = FTasks[static_cast<size_t>(Task)];
  // The engine's own total can know better than the probe at the set-up
  // (the streams read, not only the header): the larger one counts.
  if (TotalMs > t.DurationMs) t.DurationMs = TotalMs;
  t.CurrentMs = std::max<int64_t>(0, CurrentMs);
  t.Converting = true;
}

void TBatchRun::Started(int64_t NowMs) {
  FStarted = true;
  BeginWaiting(NowMs);
}

void TBatchRun::TaskEnded(int Task, int64_t NowMs) { TaskEnded(Task, TTaskEnd::Stopped, NowMs); }

void TBatchRun::BeginWaiting(int64_t NowMs) {
  if (!FStarted) return;
  // The component converts Parallel tasks at a time, in order.
  int running = 0;
  for (TTask& t : FTasks) {
    if (t.Ended) continue;
    if (running == FParallel) break;
    if (t.BeganMs < 0) t.BeganMs = NowMs;
    ++running;
  }
}

int TBatchRun::MeasuredFps(int Task, int FrameNumber, int64_t NowMs) {
  if (Task < 0 || Task >= TaskCount()) return -1;
  TTask& t = FTasks[static_cast<size_t>(Task)];
  if (t.BeganMs < 0) return -1;
  if (FrameNumber <= 0) {
    t.RateFromMs = NowMs;
    return -1;
  }
  const int64_t took = NowMs - (t.RateFromMs >= 0 ? t.RateFromMs : t.BeganMs);
  if (took <= 0) return -1;
  return static_cast<int>(static_cast<int64_t>(FrameNumber) * 1000 / took);
}

std::optional<TRowState> TBatchRun::TaskEnded(int Task, TTaskEnd How, int64_t NowMs) {
  if (Task < 0 || Task >= TaskCount()) return std::nullopt;
  TTask& t = FTasks[static_cast<size_t>(Task)];
  t.Ended = true;
  t.How = How;
  BeginWaiting(NowMs);
  if (How == TTaskEnd::Failed) return TRowState::Failed;
  if (How == TTaskEnd::Finished) return TRowState::Completed;
  // Ended by the stop: only a file that was converting reads "Stopped".
  if (!FStopping || t.Converting) return TRowState::Stopped;
  return std::nullopt;
}

std::vector<int> TBatchRun::CurrentRows() const {
  std::vector<int> rows;
  for (const TTask& t : FTasks) {
    if (static_cast<int>(rows.size()) == FParallel) break;
    if (!t.Ended) rows.push_back(t.Row);
  }
  return rows;
}

bool TBatchRun::RowEnded(int Row) const {
  return std::any_of(FTasks.begin(), FTasks.end(), [Row](const TTask& t) { return t.Row == Row && t.Ended; });
}

bool TBatchRun::HasRow(int Row) const {
  return std::any_of(FTasks.begin(), FTasks.end(), [Row](const TTask& t) { return t.Row == Row; });
}

int TBatchRun::FailedCount() const {
  return static_cast<int>(
      std::count_if(FTasks.begin(), FTasks.end(), [](const TTask& t) { return t.Ended && t.How == TTaskEnd::Failed; }));
}

void TBatchRun::BeginStop(const std::vector<int>& RunningTasks) {
  FStopping = true;
  for (int task : RunningTasks)
    if (task >= 0 && task < TaskCount()) FTasks[static_cast<size_t>(task)].Converting = true;
}

std::vector<int> TBatchRun::StoppedRows() const {
  std::vector<int> rows;
  for (const TTask& t : FTasks)
    if (t.Converting && (!t.Ended || t.How == TTaskEnd::Stopped)) rows.push_back(t.Row);
  return rows;
}

TBatchProgress TBatchRun::Progress(int64_t ElapsedMs) const {
  TBatchProgress p;
  p.Total = TaskCount();
  p.ElapsedMs = std::max<int64_t>(0, ElapsedMs);
  // A file converting past its known length is longer than its header said:
  // it weighs what it has converted so far, and nothing is estimated until
  // it ends.
  auto overrun = [](const TTask& t) { return !t.Ended && t.DurationMs > 0 && t.CurrentMs > t.DurationMs; };
  double known = 0;
  int knownCount = 0;
  for (const TTask& t : FTasks)
    if (t.DurationMs > 0) {
      known += static_cast<double>(std::max(t.DurationMs, t.CurrentMs));
      ++knownCount;
    }
  const double unknownWeight = knownCount > 0 ? known / knownCount : 1.0;
  double all = 0, done = 0;
  bool unknownEnd = false;
  for (const TTask& t : FTasks) {
    p.Done += t.Ended;
    unknownEnd = unknownEnd || overrun(t);
    const double weight = t.DurationMs > 0 ? static_cast<double>(std::max(t.DurationMs, t.CurrentMs)) : unknownWeight;
    all += weight;
    if (t.Ended)
      done += weight;
    else if (t.DurationMs > 0)
      done += std::min(weight, static_cast<double>(t.CurrentMs));
  }
  const double share = all > 0 ? done / all : 0;
  // Full only when every file has ended.
  p.Percent = static_cast<int>(std::clamp(share * 100, 0.0, p.Done == p.Total ? 100.0 : 99.0));
  if (share > 0 && p.ElapsedMs >= 1000 && !unknownEnd)
    p.LeftMs = static_cast<int64_t>(static_cast<double>(p.ElapsedMs) * (1 - share) / share + 0.5);
  return p;
}

void TBatchRun::End() {
  FState = Idle;
  FStopping = false;
  ++FRunId;
}

std::string ConvertAgainText(int Converted) {
  if (Converted == 1) return "1 file is already converted. Convert it again?";
  return std::to_string(Converted) + " files are already converted. Convert them again?";
}
