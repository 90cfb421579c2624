// A session of the lumeno tool: a host with the plug-in loaded, the catalog
// of its classes, the tool's own progress-and-completion class, property
// parsing by registered type, and one effect run with progress and Ctrl-C.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/catalog.h"
#include "cli/image_io.h"
#include "host/host.h"

namespace lumeno::cli {

// Set by the handler of SIGINT, SIGTERM and SIGHUP; read by the progress
// method, the run loop and the file writer, which all stop and clean up.
extern std::atomic<bool> gInterrupted;
void InstallInterruptHandler();
// The exit status for the signal that interrupted the run (128 + number).
int InterruptedStatus();

// A failure with the exit status it leads to.
struct Failure {
  int status = 0;
  std::string message;
  explicit operator bool() const { return status != 0; }
};

// The progress line on standard error: one line for a whole batch.
class ProgressLine {
 public:
  void Enable(bool on) { enabled_ = on; }
  bool Enabled() const { return enabled_; }
  void BeginFile(const std::string& label, int index, int count);
  // The step of the file that the next Update calls report: kDecoding, kEffect
  // or kEncoding. Each is a third of the file on the bar and is named on the line.
  enum Stage { kDecoding, kEffect, kEncoding };
  void SetStage(Stage stage) { stage_.store(stage); }
  // Called from the plug-in's progress calls and the file readers and writers
  // (any thread, one at a time).
  void Update(uint64_t value, uint64_t total);
  // Band by band the three steps run at once, each on its own rows: while
  // ShowBands is on, each reports its rows to UpdateBands (any thread), the
  // line shows all three with the bar following their mean, and Update
  // (the plug-in's calls, which count one band) draws nothing.
  void ShowBands(bool on) { bands_.store(on); }
  void UpdateBands(Stage stage, uint64_t rows, uint64_t total);
  void Clear();

 private:
  bool enabled_ = false;
  std::string label_;
  int index_ = 0;
  int count_ = 1;
  std::atomic<int> stage_{kEffect};
  std::atomic<int> lastPermille_{-1};
  std::atomic<bool> bands_{false};
  std::mutex bandsLock_;
  uint64_t bandRows_[3] = {};
  int64_t lastBands_ = -1;
  void Draw(int permille, const char* steps);
};

// A property a tool user can set, with what the records, the values of a
// new effect object and the limits table say about it.
struct SettableProperty {
  std::string name;
  std::string type;
  std::string accepted;  // "-1 to 1", "NTSC_PAL, ITU_R, ...", "x,y"
  std::string initial;   // the value a new object holds: "0", "NTSC_PAL", "none"
  const PropertyLimits* limits = nullptr;
};

// A value to assign to a property, parsed once and set on every effect
// object of a run.
struct ParsedAssignment {
  std::string property;  // the registered name
  host::Value value;
};

struct RunOptions {
  bool async = false;
  bool inPlace = false;
  bool hasThreads = false;
  int64_t threads = 0;          // MultiprocessingHint
  host::Object mask = nullptr;  // RawBitmapMask for the Mask property, or null
  int64_t maskWidth = 0, maskHeight = 0;
};

class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Loads the plug-in (an explicit path, else liblumenoraw.so next to the
  // executable, else the build's copy) and reads its classes.
  Failure Load(const std::string& pluginPath);

  host::Host& Host() { return *host_; }
  const Catalog& Classes() const { return catalog_; }
  ProgressLine& Progress() { return progress_; }

  // An effect by name, or a usage failure listing the accepted names.
  Failure FindEffect(const std::string& name, const ClassEntry** effect) const;

  // Parses "Property=value" for an effect by the property's registered type.
  Failure ParseAssignment(const ClassEntry& effect, const std::string& text, ParsedAssignment* out);
  // Whether values of a registered type can be given on the command line.
  bool CanParseType(const std::string& type) const;
  // The properties of an effect (own and inherited) a tool user can set.
  std::vector<SettableProperty> Settable(const ClassEntry& effect);
  // A usage failure when the effect has properties it needs and none of them
  // is among the assignments.
  Failure CheckNeeded(const ClassEntry& effect, const std::vector<ParsedAssignment>& assignments);
  // Limits on the size of every image file the session reads.
  void SetReadLimits(const ReadLimits& limits) { readLimits_ = limits; }
  const ReadLimits& GetReadLimits() const { return readLimits_; }
  // A RawBitmapMask from "FILE[:CHANNEL][:inverted]"; the session keeps it.
  Failure LoadMask(const std::string& maskArgument, host::Object* mask, int64_t* width,
                   int64_t* height);
  // A RawBitmap object from an image file; the session keeps it.
  Failure LoadBitmap(const std::string& path, host::Object* bitmap);

  // Creates the effect, sets the assignments and options, runs it on `source`
  // and returns the result (a new reference; in place: the source with a new
  // reference). Interruptions give kExitInterrupted.
  Failure Run(const ClassEntry& effect, const std::vector<ParsedAssignment>& assignments,
              const RunOptions& options, host::Object source, host::Object* result);

  // Text of a plug-in error code: "NAME (code): explanation".
  std::string DescribeError(int64_t code) const;

  // Objects made while parsing values; released with the session.
  void Keep(host::Object object);

 private:
  Failure RunAsync(host::Object effect, const ClassEntry& entry, const char* declaration,
                   host::Object source);

  std::unique_ptr<host::Host> host_;
  Catalog catalog_;
  ProgressLine progress_;
  host::Object monitor_ = nullptr;
  std::vector<host::Object> kept_;
  ReadLimits readLimits_;
};

// A mask argument "FILE[:CHANNEL][:inverted]" taken apart.
struct MaskSpec {
  std::string file;
  std::string channel;  // empty: the first
  bool inverted = false;
};
MaskSpec SplitMaskArgument(const std::string& argument);
// The byte offset of the request's channel in pixels of `layout`, or a usage
// failure naming the channels there are.
Failure MaskChannel(const Image& layout, const MaskSpec& request, int* offset);
// A usage failure when a mask of this size does not fit `image` (read from
// `input`); none when it does.
Failure CheckMaskSize(int64_t maskWidth, int64_t maskHeight, const std::string& input,
                      const Image& image);
// A RawBitmapMask (one new reference, the caller's) from the request's channel
// of an image's rows.
Failure MaskFromImage(host::Host& host, const Image& image, const MaskSpec& request,
                      host::Object* mask);

// Writes an image to a temporary file in the output's folder and renames it,
// so that a failure leaves no partial output. An output that is a symbolic
// link is written through to its target; a replaced file keeps its
// permissions. With `replace` false an existing file is left alone (a
// failure).
Failure WriteImageAtomically(const std::string& path, Image image, const WriteOptions& options,
                             bool quiet, bool replace = true);
// The file a path names after following symbolic links (the path itself when
// it is none, or does not exist).
std::string FollowLinks(const std::string& path);

}  // namespace lumeno::cli
