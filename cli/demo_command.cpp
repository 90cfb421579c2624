// lumeno demo: every effect on a generated picture, written with a contact
// sheet whose tiles carry the effect and its settings, and a gallery of every
// mode or method where an effect has a set of them.
#include "cli/demo_command.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>
#include <vector>

#include "cli/bitmap_bridge.h"
#include "cli/caption.h"
#include "cli/demo_pictures.h"
#include "cli/lumeno_main.h"

namespace lumeno::cli {

namespace {

// Settings for one demo run of an effect, chosen from the property types:
// numbers at half strength, the second picture for bitmaps, a position for
// points, and one run per value of the first enumeration or constant set.
struct DemoVariant {
  std::string suffix;  // of the file name: "-soft-light"
  std::string value;   // the varied value: "SOFT_LIGHT = 8"
  std::vector<std::string> assignments;
};

std::vector<DemoVariant> DemoVariants(const Catalog& catalog, const ClassEntry& effect,
                                      const std::string& fillPath) {
  std::vector<std::string> common;
  std::string variedName;
  std::vector<NamedValue> variedValues;
  for (const PropertyEntry& p : effect.ownProperties) {
    if (!p.writable) continue;
    if (p.type == "Single") {
      common.push_back(p.name + "=0.5");
    } else if (p.type == "Double") {
      common.push_back(p.name + "=0.8");
    } else if (p.type == "RawBitmap") {
      common.push_back(p.name + "=" + fillPath);
    } else if (p.type == "PointF") {
      common.push_back(p.name + "=128,96");
    } else if (const EnumEntry* e = catalog.FindEnum(p.type); e != nullptr && variedName.empty()) {
      variedName = p.name;
      variedValues = e->fields;
    } else if (p.type == "Integer" && !effect.ownConstants.empty() && variedName.empty()) {
      variedName = p.name;
      variedValues = effect.ownConstants;
    }
  }
  std::vector<DemoVariant> variants;
  if (variedName.empty()) {
    variants.push_back({"", "", common});
  } else {
    for (const NamedValue& v : variedValues) {
      DemoVariant d{"-" + v.name, v.name + " = " + std::to_string(v.value), common};
      for (char& c : d.suffix) c = c == '_' ? '-' : static_cast<char>(std::tolower(c));
      d.assignments.insert(d.assignments.begin(), variedName + "=" + v.name);
      variants.push_back(d);
    }
  }
  return variants;
}

// Whether variant i of n goes on the contact sheet: a handful of the values,
// evenly spread.
bool OnContactSheet(size_t i, size_t n) { return i % (n > 6 ? (n + 5) / 6 : 1) == 0; }

// The assignments as a caption, with the folder left out of file names.
std::string CaptionOf(const std::vector<std::string>& assignments, const std::string& outDir) {
  std::string text;
  for (std::string a : assignments) {
    const size_t at = a.find("=" + outDir + "/");
    if (at != std::string::npos) a.erase(at + 1, outDir.size() + 1);
    text += (text.empty() ? "" : " ") + a;
  }
  return text;
}

// RGBA8 copy of a demo result for the sheets.
Image ToRgba8(const Image& in) {
  Image out;
  out.width = in.width;
  out.height = in.height;
  out.model = ColorModel::kRGB;
  out.alpha = true;
  out.Allocate();
  for (int64_t y = 0; y < in.height; ++y) {
    for (int64_t x = 0; x < in.width; ++x) {
      uint8_t* d = &out.data[static_cast<size_t>((y * in.width + x) * 4)];
      auto sample = [&](int c) {
        const uint16_t v = in.Sample16(x, y, c);
        return static_cast<uint8_t>(in.bits == 16 ? v >> 8 : v);
      };
      if (in.model == ColorModel::kGray) {
        d[0] = d[1] = d[2] = sample(0);
      } else {
        for (int c = 0; c < 3; ++c) d[c] = sample(c);
      }
      d[3] = in.alpha ? sample(in.ColorChannels()) : 255;
    }
  }
  return out;
}

}  // namespace

Failure RunDemo(Session& session, const std::string& outDir) {
  host::Host& host = session.Host();
  const Catalog& catalog = session.Classes();
  std::string error;
  const std::unique_ptr<CaptionFont> font = CaptionFont::Open(&error);
  if (!font) std::fprintf(stderr, "lumeno: warning: no captions on the sheets: %s\n", error.c_str());

  WriteOptions write;
  WriteOptions sheetWrite;
  sheetWrite.pngCompression = 6;
  std::vector<std::string> written;
  std::vector<std::string> sheetFiles;
  std::vector<SheetTile> sheet;
  const Image picture = DemoPicture(512, 384);
  const Image fill = DemoFillPicture(256, 192);
  const Image mask = DemoMaskPicture(512, 384);
  const std::string sourcePath = outDir + "/source.png";
  const std::string fillPath = outDir + "/fill.png";
  const std::string maskPath = outDir + "/mask.png";
  for (const auto& [path, image] :
       {std::pair{sourcePath, &picture}, std::pair{fillPath, &fill}, std::pair{maskPath, &mask}}) {
    if (Failure f = WriteImageAtomically(path, *image, write, true)) return f;
    written.push_back(path);
  }
  const SheetTile sourceTile{picture, "source.png", "the generated picture every effect starts from"};
  sheet.push_back(sourceTile);
  sheetFiles.push_back("source.png");

  host::Ref source(host, BitmapFromImage(host, picture, &error));
  if (!source) return {kExitPlugin, error};
  int skipped = 0;
  // Runs an effect on the source; the result as RGBA8, or false (reported).
  auto runOne = [&](const ClassEntry& effect, const std::vector<std::string>& texts,
                    const RunOptions& options, const std::string& name, bool save, Image* rgba) {
    std::vector<ParsedAssignment> assignments;
    Failure f;
    for (const std::string& text : texts) {
      ParsedAssignment parsed;
      f = session.ParseAssignment(effect, text, &parsed);
      if (f) break;
      assignments.push_back(parsed);
    }
    host::Object resultObject = nullptr;
    if (!f) f = session.Run(effect, assignments, options, source.get(), &resultObject);
    host::Ref result(host, resultObject);
    Image out;
    if (!f && !ImageFromBitmap(host, result.get(), &out, &error)) f = {kExitEffectFailed, error};
    if (!f && save) f = WriteImageAtomically(outDir + "/" + name, out, write, true);
    if (f) {
      std::fprintf(stderr, "lumeno: skipped %s: %s\n", name.c_str(), f.message.c_str());
      ++skipped;
      return false;
    }
    if (save) written.push_back(outDir + "/" + name);
    *rgba = ToRgba8(out);
    return true;
  };
  auto writeSheet = [&](const std::string& name, const std::vector<SheetTile>& tiles,
                        const SheetLayout& layout) {
    const std::string path = outDir + "/" + name;
    Failure f = WriteImageAtomically(path, LabelledSheet(tiles, layout, font.get()), sheetWrite, true);
    if (!f) written.push_back(path);
    return f;
  };

  const ClassEntry* maskedEffect = nullptr;
  for (const ClassEntry* effect : catalog.Effects()) {
    if (gInterrupted.load()) break;
    const std::vector<DemoVariant> variants = DemoVariants(catalog, *effect, fillPath);
    std::vector<SheetTile> gallery = {sourceTile};
    if (std::any_of(effect->ownProperties.begin(), effect->ownProperties.end(),
                    [](const PropertyEntry& p) { return p.writable && p.type == "RawBitmap"; })) {
      gallery.push_back({fill, "fill.png", "the second picture"});
    }
    for (size_t i = 0; i < variants.size(); ++i) {
      const DemoVariant& v = variants[i];
      const bool onSheet = OnContactSheet(i, variants.size());
      const std::string name = effect->shortName + v.suffix + ".png";
      SheetTile tile{{}, effect->shortName, CaptionOf(v.assignments, outDir)};
      if (!runOne(*effect, v.assignments, RunOptions{}, name, onSheet, &tile.image)) continue;
      gallery.push_back({tile.image, v.value, ""});
      if (onSheet) {
        sheet.push_back(std::move(tile));
        sheetFiles.push_back(name);
      }
    }
    if (variants.size() > 1 && !gInterrupted.load()) {
      SheetLayout layout{std::min<int>(6, static_cast<int>(gallery.size())), 192, 144, 1, 8};
      if (Failure f = writeSheet(effect->shortName + "-gallery.png", gallery, layout)) return f;
    }
    PropertyEntry storage;
    const PropertyEntry* m = catalog.FindProperty(*effect, "Mask", &storage);
    if (maskedEffect == nullptr && m != nullptr && m->type == "RawBitmapMask") maskedEffect = effect;
  }
  if (maskedEffect != nullptr && !gInterrupted.load()) {
    RunOptions options;
    if (!session.LoadMask(maskPath, &options.mask, &options.maskWidth, &options.maskHeight)) {
      const DemoVariant v = DemoVariants(catalog, *maskedEffect, fillPath).front();
      const std::string name = maskedEffect->shortName + "-masked.png";
      SheetTile tile{{}, maskedEffect->shortName + " through mask.png",
                     CaptionOf(v.assignments, outDir) + " (black: full effect, white: none)"};
      if (runOne(*maskedEffect, v.assignments, options, name, true, &tile.image)) {
        sheet.push_back(std::move(tile));
        sheetFiles.push_back(name);
      }
    }
  }
  if (gInterrupted.load()) return {kExitInterrupted, "interrupted"};

  if (Failure f = writeSheet("contact-sheet.png", sheet, SheetLayout{4, 256, 192, 4, 8})) return f;
  for (const std::string& w : written) std::printf("%s\n", w.c_str());
  std::printf("contact sheet, left to right and top to bottom:");
  for (const std::string& file : sheetFiles) std::printf(" %s", file.c_str());
  std::printf("\n");
  if (skipped > 0) std::fprintf(stderr, "lumeno: %d demo results skipped\n", skipped);
  return {};
}

}  // namespace lumeno::cli
