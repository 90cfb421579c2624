// Band-by-band processing: a RowProducer that decodes, runs the chain and
// hands the result's rows to the writer.
#include "cli/band_pipeline.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>

#include "cli/bitmap_bridge.h"
#include "cli/lumeno_main.h"
#include "cli/metadata.h"

namespace lumeno::cli {

namespace {

constexpr float kExactRows = 1 << 24;  // floats hold every whole number below

// Which rows this thread's progress reports count: the writer's by default.
enum class RowsReported { kEncoded, kDecoded, kNone };
thread_local RowsReported tRowsReported = RowsReported::kEncoded;

const host::Object* ObjectOf(const ParsedAssignment& a) {
  return std::get_if<host::Object>(&a.value);
}

// Whether the blend effect gives the same rows band by band once its
// Location is moved up by the band's first row: the fill's top row and
// height (Location y, Size height) are whole numbers that a float holds
// exactly with the picture's height added, so no rounding moves them. A
// FillMask is indexed by the picture's rows and keeps the run whole.
bool BlendBandable(host::Host& host, const std::vector<ParsedAssignment>& assignments,
                   int64_t height) {
  for (const ParsedAssignment& a : assignments) {
    const host::Object* object = ObjectOf(a);
    if (a.property == "FillMask") return false;
    if (object == nullptr || (a.property != "Location" && a.property != "Size")) continue;
    const float v = host.GetSingle(*object, a.property == "Location" ? "y" : "Height");
    if (v != std::trunc(v) || std::fabs(v) + static_cast<float>(height) >= kExactRows) {
      return false;
    }
  }
  return static_cast<float>(height) < kExactRows;
}

// Decodes a reader's rows on a thread of its own, ahead of the effect and the
// writer, so that decoding (one stream, one core) runs while the rows before
// are processed and encoded. The rows wait in pieces of a quarter band, at
// most a band of them, so memory stays bounded; their buffers are reused.
// A decoding error, or an interruption, reaches the consumer at its next
// Read; a consumer that stops early stops the thread in the destructor.
class ReadAhead {
 public:
  ReadAhead(std::unique_ptr<RowReader> reader, const Image& header)
      : reader_(std::move(reader)), rowBytes_(header.RowBytes()), height_(header.height) {
    layout_.width = header.width;
    layout_.model = header.model;
    layout_.alpha = header.alpha;
    layout_.bits = header.bits;
    pieceRows_ = std::max<int64_t>(1, BandRows(rowBytes_) / kPiecesPerBand);
    thread_ = std::thread([this] { Decode(); });
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // Fills the band's rows with the next decoded rows.
  bool Read(Image* band, std::string* error) {
    for (int64_t y = 0; y < band->height;) {
      std::unique_lock<std::mutex> lock(lock_);
      changed_.wait(lock, [&] { return !ready_.empty() || !error_.empty() || finished_; });
      if (ready_.empty()) {
        *error = error_.empty() ? "the file ended before the rows asked for" : error_;
        return false;
      }
      // The front piece stays in place while the decoder adds pieces.
      Piece& piece = ready_.front();
      lock.unlock();
      const int64_t n = std::min(piece.rows - taken_, band->height - y);
      for (int64_t i = 0; i < n; ++i) {
        std::memcpy(band->MutableRow(y + i), piece.memory.get() + (taken_ + i) * rowBytes_,
                    static_cast<size_t>(rowBytes_));
      }
      y += n;
      taken_ += n;
      if (taken_ == piece.rows) {
        taken_ = 0;
        lock.lock();
        spare_.push_back(std::move(piece.memory));
        ready_.pop_front();
        lock.unlock();
        changed_.notify_all();
      }
    }
    return true;
  }

  // After the last rows: the decoder is done with the file.
  bool Finish(Metadata* meta, std::string* error) {
    {
      std::unique_lock<std::mutex> lock(lock_);
      changed_.wait(lock, [&] { return finished_ || !error_.empty(); });
      if (!error_.empty()) {
        *error = error_;
        return false;
      }
    }
    return reader_->Finish(meta, error);
  }

 private:
  static constexpr int64_t kPiecesPerBand = 4;

  struct Piece {
    std::unique_ptr<uint8_t[]> memory;
    int64_t rows = 0;
  };

  void Decode() {
    tRowsReported = RowsReported::kDecoded;
    for (int64_t done = 0; done < height_;) {
      Image piece = layout_;
      piece.height = std::min(pieceRows_, height_ - done);
      std::unique_ptr<uint8_t[]> memory;
      {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait(lock, [&] { return stop_ || ready_.size() < kPiecesPerBand; });
        if (stop_) return;
        if (!spare_.empty()) {
          memory = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      if (!memory) memory.reset(new uint8_t[static_cast<size_t>(pieceRows_ * rowBytes_)]);
      piece.pixels = memory.get();
      piece.stride = rowBytes_;
      std::string error;
      const bool ok = !gInterrupted.load() && reader_->Read(&piece, &error);
      {
        std::lock_guard<std::mutex> lock(lock_);
        if (ok) {
          ready_.push_back({std::move(memory), piece.height});
        } else {
          error_ = !error.empty()        ? error
                   : gInterrupted.load() ? "interrupted"
                                         : "the rows could not be read";
        }
      }
      changed_.notify_all();
      if (!ok) return;
      done += piece.height;
    }
    {
      std::lock_guard<std::mutex> lock(lock_);
      finished_ = true;
    }
    changed_.notify_all();
  }

  std::unique_ptr<RowReader> reader_;
  Image layout_;
  int64_t rowBytes_;
  int64_t height_;
  int64_t pieceRows_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Piece> ready_;                        // decoded, in order
  std::vector<std::unique_ptr<uint8_t[]>> spare_;  // buffers to reuse
  int64_t taken_ = 0;                              // rows of the front piece already read
  bool stop_ = false;
  bool finished_ = false;
  std::string error_;
  std::thread thread_;  // last: started once the rest is set
};

class EffectBands final : public RowProducer {
 public:
  EffectBands(Session& session, const std::vector<ResolvedStep>& steps, const RunOptions& run,
              std::unique_ptr<RowReader> reader, const Image& header)
      : session_(session),
        steps_(steps),
        run_(run),
        reader_(std::move(reader), header),
        header_(header) {}

  // The mask's rows, read alongside the input's from a file of its size.
  void SetMask(std::unique_ptr<RowReader> reader, const Image& layout, const MaskSpec& request) {
    maskReader_ = std::move(reader);
    maskLayout_ = layout;
    maskLayout_.meta = Metadata();
    maskSpec_ = request;
  }

  // Runs the first band, whose result gives the output's layout.
  bool Prime(Image* layout, std::string* error) {
    if (!Run(std::min(BandRows(header_.RowBytes()), header_.height), &pending_, error)) {
      return false;
    }
    havePending_ = true;
    layout->width = pending_.width;
    layout->model = pending_.model;
    layout->alpha = pending_.alpha;
    layout->bits = pending_.bits;
    layout_ = *layout;
    return true;
  }

  bool Next(int64_t rows, Image* band, std::string* error) override {
    if (havePending_) {
      havePending_ = false;
      *band = std::move(pending_);
      return true;
    }
    if (!Run(rows, band, error)) return false;
    if (band->model != layout_.model || band->alpha != layout_.alpha ||
        band->bits != layout_.bits) {
      *error = "the effect changed the layout between bands";
      failure_ = {kExitEffectFailed, *error};
      return false;
    }
    return true;
  }

  bool Finish(Metadata* meta, std::string* error) override {
    Metadata unused;
    return reader_.Finish(meta, error) && (!maskReader_ || maskReader_->Finish(&unused, error));
  }

  const Failure& EffectFailure() const { return failure_; }

 private:
  bool Run(int64_t rows, Image* band, std::string* error) {
    host::Host& host = session_.Host();
    result_.Reset();
    Image in;
    in.width = header_.width;
    in.height = rows;
    in.model = header_.model;
    in.alpha = header_.alpha;
    in.bits = header_.bits;
    host::Ref source(host, BitmapForDirectRows(host, &in));
    if (!source) in.Allocate();
    if (!reader_.Read(&in, error)) {
      // The decoder stops at Ctrl-C, SIGTERM or SIGHUP too.
      if (gInterrupted.load()) failure_ = {kExitInterrupted, "interrupted; nothing written"};
      return false;
    }
    if (!source) {
      source = host::Ref(host, BitmapFromImage(host, in, error));
      if (!source) return false;
    }
    RunOptions run = run_;
    host::Ref mask;
    if (maskReader_) {
      if (Failure f = ReadMask(rows, &mask)) {
        *error = f.message;
        failure_ = f;
        return false;
      }
      run.mask = mask.get();
    }
    // Each effect's result is the next one's source.
    for (const ResolvedStep& step : steps_) {
      host::Object out = nullptr;
      host::Ref location;
      const std::vector<ParsedAssignment> assignments =
          step.effect->shortName == "blend" ? BlendPlacedInBand(step.assignments, &location)
                                            : step.assignments;
      failure_ = session_.Run(*step.effect, assignments, run, source.get(), &out);
      if (failure_) break;
      source = host::Ref(host, out);
    }
    if (failure_) {
      *error = failure_.message;
      return false;
    }
    result_ = std::move(source);
    if (!ImageFromBitmap(host, result_.get(), band, error, true)) {
      failure_ = {kExitEffectFailed, *error};
      return false;
    }
    rowsDone_ += rows;
    session_.Progress().UpdateBands(ProgressLine::kEffect, static_cast<uint64_t>(rowsDone_),
                                    static_cast<uint64_t>(header_.height));
    return true;
  }

  // The blend's values with the fill placed for this band: Location's y
  // less the band's first row (a new PointF that `location` holds).
  std::vector<ParsedAssignment> BlendPlacedInBand(const std::vector<ParsedAssignment>& assignments,
                                                  host::Ref* location) {
    host::Host& host = session_.Host();
    std::vector<ParsedAssignment> placed;
    float x = 0, y = 0;
    for (const ParsedAssignment& a : assignments) {
      if (a.property != "Location") {
        placed.push_back(a);
      } else if (const host::Object* object = ObjectOf(a)) {
        x = host.GetSingle(*object, "x");
        y = host.GetSingle(*object, "y");
      }
    }
    *location = host::Ref(host, host.New("PointF"));
    host.SetProperty(location->get(), "x", x);
    host.SetProperty(location->get(), "y", static_cast<float>(y - static_cast<float>(rowsDone_)));
    placed.push_back({"Location", location->get()});
    return placed;
  }

  // A RawBitmapMask of the band's rows of the mask file.
  Failure ReadMask(int64_t rows, host::Ref* mask) {
    Image band = maskLayout_;
    band.height = rows;
    band.Allocate();
    std::string error;
    tRowsReported = RowsReported::kNone;  // the mask's reading is not shown
    const bool read = maskReader_->Read(&band, &error);
    tRowsReported = RowsReported::kEncoded;
    if (!read) return {kExitFile, "mask: " + error};
    host::Object made = nullptr;
    Failure f = MaskFromImage(session_.Host(), band, maskSpec_, &made);
    *mask = host::Ref(session_.Host(), made);
    return f;
  }

  Session& session_;
  const std::vector<ResolvedStep>& steps_;
  RunOptions run_;
  ReadAhead reader_;
  Image header_;
  Image pending_;
  bool havePending_ = false;
  Image layout_;
  host::Ref result_;  // holds the rows of the band last handed out
  int64_t rowsDone_ = 0;
  Failure failure_;
  std::unique_ptr<RowReader> maskReader_;
  Image maskLayout_;
  MaskSpec maskSpec_;
};

}  // namespace

bool ApplyInBands(Session& session, const std::vector<ResolvedStep>& steps, const RunOptions& run,
                  const MaskSpec* mask, const WriteOptions& write, bool quiet, bool replace,
                  bool autoOrient, const std::string& input, const std::string& output,
                  Failure* result) {
  const FileType type = FileTypeForExtension(output);
  if (run.mask != nullptr ||
      (type != FileType::kPNG && type != FileType::kTIFF && type != FileType::kJPEG)) {
    return false;
  }
  Image header;
  std::string error;
  std::unique_ptr<RowReader> reader =
      OpenRowReader(input, session.GetReadLimits(), &header, &error);
  if (!reader || header.height <= 2 * BandRows(header.RowBytes()) ||
      (autoOrient && header.meta.orientation != 1)) {
    return false;
  }
  for (const ResolvedStep& step : steps) {
    if (step.effect->shortName == "blend" &&
        !BlendBandable(session.Host(), step.assignments, header.height)) {
      return false;
    }
  }
  Image maskHeader;
  std::unique_ptr<RowReader> maskReader;
  if (mask != nullptr) {
    maskReader = OpenRowReader(mask->file, session.GetReadLimits(), &maskHeader, &error);
    if (!maskReader) return false;  // read whole, with the whole path's messages
    if ((*result = CheckMaskSize(maskHeader.width, maskHeader.height, input, header))) {
      return true;
    }
  }
  for (const ResolvedStep& step : steps) {
    const char* why = CmykRefusal(step.effect->shortName);
    if (why != nullptr && header.model == ColorModel::kCMYK) {
      *result = {kExitEffectFailed, input + ": " + why};
      return true;
    }
  }
#if defined(__GLIBC__)
  // Every band takes and frees bitmaps of the same few sizes. glibc would
  // raise its mmap threshold after the first free and serve the next ones
  // from heaps that keep their memory (1.2 GB instead of 40 MB for a
  // 12000 x 12000 RGBA16 picture); a fixed threshold returns each band's
  // memory at once.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  // Declared before the bands so that it outlives their decoding thread.
  struct BandProgressScope {
    // Each thread's row reports go to the step it works for.
    explicit BandProgressScope(ProgressLine& line) : line_(line) {
      line.ShowBands(true);
      SetRowProgress([&line](int64_t done, int64_t total) {
        if (tRowsReported == RowsReported::kNone) return;
        line.UpdateBands(tRowsReported == RowsReported::kDecoded ? ProgressLine::kDecoding
                                                                 : ProgressLine::kEncoding,
                         static_cast<uint64_t>(done), static_cast<uint64_t>(total));
      });
    }
    ~BandProgressScope() {
      ProgressLine& line = line_;
      line.ShowBands(false);
      SetRowProgress([&line](int64_t done, int64_t total) {
        line.Update(static_cast<uint64_t>(done), static_cast<uint64_t>(total));
      });
    }
    ProgressLine& line_;
  } progress(session.Progress());
  auto bands = std::make_shared<EffectBands>(session, steps, run, std::move(reader), header);
  if (maskReader) bands->SetMask(std::move(maskReader), maskHeader, *mask);
  Image out;
  session.Progress().SetStage(ProgressLine::kEffect);
  if (!bands->Prime(&out, &error)) {
    *result = bands->EffectFailure() ? bands->EffectFailure() : Failure{kExitFile, error};
    return true;
  }
  out.height = header.height;
  out.meta = std::move(header.meta);
  if (DropUnfittingIcc(&out.meta, out.model) && !quiet) {
    std::fprintf(stderr, "lumeno: %s: the ICC profile does not fit the %s result; left out\n",
                 input.c_str(), ColorModelName(out.model));
  }
  out.producer = bands;
  *result = WriteImageAtomically(output, std::move(out), write, quiet, replace);
  if (*result && bands->EffectFailure()) *result = bands->EffectFailure();
  return true;
}

}  // namespace lumeno::cli
