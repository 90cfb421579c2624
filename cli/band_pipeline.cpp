// Band-by-band processing: a RowProducer that decodes, runs the effect and
// hands the result's rows to the writer.
#include "cli/band_pipeline.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#include "cli/bitmap_bridge.h"
#include "cli/lumeno_main.h"
#include "cli/metadata.h"

namespace lumeno::cli {

namespace {

class EffectBands final : public RowProducer {
 public:
  EffectBands(Session& session, const ClassEntry& effect,
              const std::vector<ParsedAssignment>& assignments, const RunOptions& run,
              std::unique_ptr<RowReader> reader, const Image& header)
      : session_(session),
        effect_(effect),
        assignments_(assignments),
        run_(run),
        reader_(std::move(reader)),
        header_(header) {}

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

  bool Finish(Metadata* meta, std::string* error) override { return reader_->Finish(meta, error); }

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
    // The plug-in's progress calls count one band; the line follows the
    // rows of the whole picture instead.
    ProgressLine& line = session_.Progress();
    const bool shown = line.Enabled();
    line.Enable(false);
    host::Object out = nullptr;
    failure_ = session_.Run(effect_, assignments_, run_, source.get(), &out);
    line.Enable(shown);
    result_ = host::Ref(host, out);
    if (failure_) {
      *error = failure_.message;
      return false;
    }
    source.Reset();
    if (!ImageFromBitmap(host, result_.get(), band, error, true)) {
      failure_ = {kExitEffectFailed, *error};
      return false;
    }
    rowsDone_ += rows;
    line.Update(static_cast<uint64_t>(rowsDone_), static_cast<uint64_t>(header_.height));
    return true;
  }

  Session& session_;
  const ClassEntry& effect_;
  const std::vector<ParsedAssignment>& assignments_;
  RunOptions run_;
  std::unique_ptr<RowReader> reader_;
  Image header_;
  Image pending_;
  bool havePending_ = false;
  Image layout_;
  host::Ref result_;  // holds the rows of the band last handed out
  int64_t rowsDone_ = 0;
  Failure failure_;
};

}  // namespace

bool ApplyInBands(Session& session, const ClassEntry& effect,
                  const std::vector<ParsedAssignment>& assignments, const RunOptions& run,
                  const WriteOptions& write, bool quiet, bool replace, bool autoOrient,
                  const std::string& input, const std::string& output, Failure* result) {
  const FileType type = FileTypeForExtension(output);
  if (effect.shortName == "blend" || run.mask != nullptr ||
      (type != FileType::kPNG && type != FileType::kTIFF)) {
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
#if defined(__GLIBC__)
  // Every band takes and frees bitmaps of the same few sizes. glibc would
  // raise its mmap threshold after the first free and serve the next ones
  // from heaps that keep their memory (1.2 GB instead of 40 MB for a
  // 12000 x 12000 RGBA16 picture); a fixed threshold returns each band's
  // memory at once.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  auto bands =
      std::make_shared<EffectBands>(session, effect, assignments, run, std::move(reader), header);
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
