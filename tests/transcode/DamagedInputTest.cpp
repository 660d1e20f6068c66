// Damaged and hostile input: files cut short, overwritten, with flipped bytes
// or empty, as interrupted downloads and bad copies leave them, of every
// container the media maker writes. Each variant is converted with the
// window's settings in a child process, so that a signal or a hang shows as
// that variant's failure. Every conversion must end in time, without a signal,
// either with a clear message and nothing under the output's name, or with an
// output that plays and is not larger than a bound.
//
// To cover more damage, add a row to Damages(); for more kinds of file, a row
// to Sources().
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <iterator>
#include <sstream>

#include "ConvertHelper.h"
#include "EngineIO.h"
#include "MyUtils.h"
#include "MediaMaker.h"
#include "TestSupport.h"

namespace {

// An intact file as the damage functions see it.
struct TIntact {
  std::string Bytes;
  int64_t FirstPacketPos = 0;  // where the first packet's data starts: the end of the header
};

struct TDamage {
  const char* Name;
  // The damaged bytes; none when the damage does not apply to that file.
  std::function<std::optional<std::string>(const TIntact&)> Apply;
  // What the message must say, for damages with one known outcome.
  const char* Expected = nullptr;
};

std::string Overwrite(std::string Bytes, size_t From, size_t To) {
  uint32_t seed = 0x2545F491u;
  for (size_t i = From; i < To && i < Bytes.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    Bytes[i] = static_cast<char>(seed >> 24);
  }
  return Bytes;
}

// Replaces bytes of an AVI stream header: Offset bytes into the "strf" chunk
// (after its 8-byte chunk header) of the stream whose type is Kind.
std::function<std::optional<std::string>(const TIntact&)> PatchAviFormat(const char* Kind, size_t Offset,
                                                                         std::string Value) {
  return [=](const TIntact& F) -> std::optional<std::string> {
    if (F.Bytes.compare(8, 4, "AVI ") != 0) return std::nullopt;
    const size_t kind = F.Bytes.find(Kind);
    const size_t strf = kind == std::string::npos ? kind : F.Bytes.find("strf", kind);
    if (strf == std::string::npos) return std::nullopt;
    std::string bytes = F.Bytes;
    bytes.replace(strf + 8 + Offset, Value.size(), Value);
    return bytes;
  };
}

// Inverts every Step-th byte in [From, To) of the file (fractions of its size).
std::function<std::optional<std::string>(const TIntact&)> FlipBytes(double From, double To, size_t Step) {
  return [=](const TIntact& F) -> std::optional<std::string> {
    std::string bytes = F.Bytes;
    const auto end = static_cast<size_t>(static_cast<double>(bytes.size()) * To);
    for (auto i = static_cast<size_t>(static_cast<double>(bytes.size()) * From); i < end; i += Step)
      bytes[i] = static_cast<char>(~bytes[i]);
    return bytes;
  };
}

std::function<std::optional<std::string>(const TIntact&)> CutAt(int Percent) {
  return [=](const TIntact& F) -> std::optional<std::string> { return F.Bytes.substr(0, F.Bytes.size() * Percent / 100); };
}

const std::vector<TDamage>& Damages() {
  static const std::vector<TDamage> damages = {
      {"empty", [](const TIntact&) -> std::optional<std::string> { return std::string(); }},
      {"cut_after_header",
       [](const TIntact& F) -> std::optional<std::string> {
         return F.Bytes.substr(0, static_cast<size_t>(F.FirstPacketPos));
       }},
      {"cut_at_3_percent", CutAt(3)},
      {"cut_at_40_percent", CutAt(40)},
      {"cut_at_80_percent", CutAt(80)},
      {"bytes_16_to_80_overwritten",
       [](const TIntact& F) -> std::optional<std::string> { return Overwrite(F.Bytes, 16, 80); }},
      // Bytes flipped through the header (the first 2%), and through the
      // media data.
      {"header_bytes_flipped", FlipBytes(0.0, 0.02, 5)},
      {"payload_bytes_flipped", FlipBytes(0.3, 0.9, 97)},
      // The compression field of the picture header names no known codec.
      {"unknown_video_codec", PatchAviFormat("vids", 16, "ZZZZ"), "Unsupported codec (id=0) for input stream #0.0"},
      // The sound header says zero channels.
      {"audio_without_channels", PatchAviFormat("auds", 2, std::string(2, '\0')),
       "has an unknown sample format, rate or channel count"},
  };
  return damages;
}

struct TSource {
  const char* Preset;
  double Seconds;
  int64_t VideoBitRate;  // 0: the preset's
  int Noise;  // grain, so the encoder really spends the bit rate
};

const std::vector<TSource>& Sources() {
  static const std::vector<TSource> sources = {
      // The index first: a cut file still opens. At this rate 3% of the file
      // lies past the index, in the media data.
      {"mp4_faststart", 1.0, 2000000, 30},
      {"swf", 1.0, 400000, 0},
      {"avi_msmpeg4v3", 1.0, 400000, 0},
  };
  static const std::vector<TSource> all = [] {
    // And a short clip of every other container the media maker writes.
    std::vector<TSource> v = sources;
    std::set<std::string> formats;
    for (const TSource& s : v) formats.insert(ClipSpecByName(s.Preset).FormatName);
    for (const TClipSpec& recipe : StandardClipSpecs())
      if (formats.insert(recipe.FormatName).second) v.push_back({recipe.Name.c_str(), 0.4, 0, 0});
    return v;
  }();
  return all;
}

// What a conversion in the child process ended with.
struct TOutcome {
  bool Exited = false;
  int ExitCode = 0;
  int Signal = 0;
  bool TimedOut = false;
  bool Converted = false;
  int Terminations = 0;
  std::string Error;
};

// Converts In to Out with the window's settings in a child process and waits
// at most Limit for it.
TOutcome ConvertInChild(const std::string& In, const std::string& Out, std::chrono::seconds Limit) {
  TOutcome outcome;
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return outcome;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    TConversion c;
    c.OutputOptions = WindowDefaults();
    const bool converted = Convert(In, Out, c);
    std::ostringstream report;
    report << converted << ' ' << c.Terminations << ' ' << c.Error;
    const std::string text = report.str();
    if (write(fds[1], text.data(), text.size()) < 0) std::_Exit(3);
    close(fds[1]);
    std::exit(0);  // exit, not _exit: the leak checker runs on the way out
  }
  close(fds[1]);
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + Limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
      outcome.TimedOut = true;
      kill(child, SIGKILL);
      break;
    }
    char buf[512];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.Exited = WIFEXITED(status);
  outcome.ExitCode = outcome.Exited ? WEXITSTATUS(status) : 0;
  outcome.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  std::istringstream report(text);
  report >> outcome.Converted >> outcome.Terminations;
  report.get();
  std::getline(report, outcome.Error, '\0');
  return outcome;
}

class DamagedInputTest : public TConversionTest {
protected:
  TIntact MakeIntact(const TSource& Source) {
    TClipSpec recipe = ClipSpecByName(Source.Preset);
    recipe.DurationSeconds = Source.Seconds;
    if (Source.VideoBitRate > 0) recipe.VideoBitRate = Source.VideoBitRate;
    recipe.Noise = Source.Noise;
    TIntact intact;
    const std::string path = MakeSpec(recipe);
    std::ifstream file(path, std::ios::binary);
    intact.Bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    AVFormatContext* ic = nullptr;
    if (ff::avformat_open_input(&ic, path.c_str(), nullptr, nullptr) >= 0) {
      AVPacket* pkt = ff::av_packet_alloc();
      if (ff::av_read_frame(ic, pkt) >= 0) intact.FirstPacketPos = pkt->pos;
      ff::av_packet_free(&pkt);
      ff::avformat_close_input(&ic);
    }
    EXPECT_GT(intact.FirstPacketPos, 0) << Source.Preset;
    return intact;
  }
};

TEST_F(DamagedInputTest, EveryVariantEndsWithAMessageOrAPlayableFile) {
  SetLibraryLogLevel(AV_LOG_QUIET);
  for (const TSource& source : Sources()) {
    const TIntact intact = MakeIntact(source);
    for (const TDamage& damage : Damages()) {
      const std::string name = std::string(source.Preset) + "-" + damage.Name;
      SCOPED_TRACE(name);
      const std::optional<std::string> damaged = damage.Apply(intact);
      if (!damaged) continue;
      const std::string in = Dir / (name + ClipSpecByName(source.Preset).Extension);
      const std::string out = Dir / (name + "-out.mp4");
      WriteFile(in, *damaged);
      const TOutcome o = ConvertInChild(in, out, std::chrono::seconds(30));
      std::printf("  %-40s %s\n", name.c_str(),
                  o.TimedOut ? "hangs" : o.Signal ? strsignal(o.Signal) : o.Converted ? "converted" : o.Error.c_str());
      if (o.TimedOut || !o.Exited) {
        ADD_FAILURE() << (o.TimedOut ? "the conversion hangs" : "the conversion ends the process with a signal");
        continue;
      }
      EXPECT_EQ(o.ExitCode, 0) << "the child failed (a sanitizer report?)";
      if (damage.Expected) {
        EXPECT_FALSE(o.Converted);
      }
      if (o.Converted) {
        EXPECT_EQ(o.Terminations, 1);
        const TFileFacts facts = ReadFacts(out);
        // A damaged file may have lost its video stream: then the sound
        // alone is the output.
        ASSERT_TRUE(facts.Opened) << facts.Error;
        int64_t packets = 0;
        for (const TStreamFacts& stream : facts.Streams) packets += stream.Packets;
        EXPECT_GT(packets, 0) << "the output holds nothing";
        if (facts.First(AVMEDIA_TYPE_VIDEO)) {
          EXPECT_FALSE(DecodeVideo(out, 1).empty()) << "no picture of the output decodes";
        }
        // The window's rates for the source's duration and two seconds more,
        // four times over.
        EXPECT_LE(FileSizeOf(out), static_cast<int64_t>(4 * (512000 + 80000) / 8 * (source.Seconds + 2)));
      } else {
        EXPECT_FALSE(o.Error.empty()) << "a failure without a message";
        if (damage.Expected) {
          EXPECT_NE(o.Error.find(damage.Expected), std::string::npos) << o.Error;
        }
        EXPECT_LE(o.Terminations, 1);
        EXPECT_EQ(FileSizeOf(out), -1) << "a failed conversion left a file under the output's name";
      }
      // Nothing of the conversion is left beside the output's name either.
      for (const std::string& left : FolderEntries(Dir.Path()))
        EXPECT_FALSE(TOutputTarget::IsTemporaryName(left) && left.rfind("." + name + "-out.mp4.", 0) == 0)
            << "a temporary output is left: " << left;
    }
  }
}

}  // namespace
