// Large pictures processed band by band with bounded memory.
#pragma once

#include <string>
#include <vector>

#include "cli/catalog.h"
#include "cli/image_io.h"
#include "cli/tool_session.h"

namespace lumeno::cli {

// Runs an effect on `input` band by band when that gives the same pixels and
// saves memory: the input is a PNG that is not interlaced and more than two
// bands tall (BandRows), the output a PNG or TIFF file, there is no mask and
// no turn to apply, and the effect is one whose output pixels each depend on
// the same input pixel only (every effect but blend). Rows are decoded into a
// band-sized bitmap, the effect runs on it, and the writer takes the result's
// rows, so about two bands are in memory whatever the picture's size.
// Returns false (and does nothing) when the file is not for this path;
// otherwise true with the outcome in `result`. With `replace` false an
// existing output is left alone (a failure).
bool ApplyInBands(Session& session, const ClassEntry& effect,
                  const std::vector<ParsedAssignment>& assignments, const RunOptions& run,
                  const WriteOptions& write, bool quiet, bool replace, bool autoOrient,
                  const std::string& input, const std::string& output, Failure* result);

}  // namespace lumeno::cli
