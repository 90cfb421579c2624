// Large pictures processed band by band with bounded memory.
#pragma once

#include <string>
#include <vector>

#include "cli/catalog.h"
#include "cli/image_io.h"
#include "cli/tool_session.h"

namespace lumeno::cli {

// An effect of a chain with its values, checked against the plug-in.
struct ResolvedStep {
  const ClassEntry* effect = nullptr;
  std::vector<ParsedAssignment> assignments;
};

// Runs a chain of effects on `input` band by band when that gives the same
// pixels and saves memory: the input's rows can be read in order
// (OpenRowReader) and it is more than two bands tall (BandRows), the output
// is a PNG, TIFF or JPEG file, there is no turn to apply, no mask loaded
// whole (`run.mask`), and every effect of the chain is one whose output
// pixels each depend on the same input pixel only (every effect but blend).
// Rows are decoded into a band-sized bitmap, the chain runs on it in order
// (with the band's rows of `mask`, a file read alongside, when given), and
// the writer takes the result's rows, so about two bands are in memory
// whatever the picture's size. Returns false (and does nothing) when the
// files are not for this path; otherwise true with the outcome in `result`.
// With `replace` false an existing output is left alone (a failure).
bool ApplyInBands(Session& session, const std::vector<ResolvedStep>& steps, const RunOptions& run,
                  const MaskSpec* mask, const WriteOptions& write, bool quiet, bool replace,
                  bool autoOrient, const std::string& input, const std::string& output,
                  Failure* result);

}  // namespace lumeno::cli
