// Band-by-band processing: a RowProducer that decodes, runs the chain and
// hands the result's rows to the writer.
#include "cli/band_pipeline.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>
#include <variant>

#include "cli/bitmap_bridge.h"
#include "cli/lumeno_main.h"
#include "cli/metadata.h"

namespace lumeno::cli {

namespace {

constexpr float kExactRows = 1 << 24;  // floats hold every whole number below

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

class EffectBands final : public RowProducer {
 public:
  EffectBands(Session& session, const std::vector<ResolvedStep>& steps, const RunOptions& run,
              std::unique_ptr<RowReader> reader, const Image& header)
      : session_(session), steps_(steps), run_(run), reader_(std::move(reader)), header_(header) {}

  // The mask's rows, read alongside the input's from a file of its size.
  void SetMask(std::unique_ptr<RowReader> reader, const Image& layout, const MaskSpec& spec) {
    maskReader_ = std::move(reader);
    maskLayout_ = layout;
    maskLayout_.meta = Metadata();
    maskSpec_ = spec;
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
    return reader_->Finish(meta, error) && (!maskReader_ || maskReader_->Finish(&unused, error));
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
    if (!reader_->Read(&in, error)) return false;
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
    // The plug-in's progress calls count one band; the line follows the
    // rows of the whole picture instead.
    ProgressLine& line = session_.Progress();
    const bool shown = line.Enabled();
    line.Enable(false);
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
    line.Enable(shown);
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
    line.Update(static_cast<uint64_t>(rowsDone_), static_cast<uint64_t>(header_.height));
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
    if (!maskReader_->Read(&band, &error)) return {kExitFile, "mask: " + error};
    host::Object made = nullptr;
    Failure f = MaskFromImage(session_.Host(), band, maskSpec_, &made);
    *mask = host::Ref(session_.Host(), made);
    return f;
  }

  Session& session_;
  const std::vector<ResolvedStep>& steps_;
  RunOptions run_;
  std::unique_ptr<RowReader> reader_;
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
