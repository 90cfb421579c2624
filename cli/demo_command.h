// The body of "lumeno demo": every effect run on generated pictures.
#pragma once

#include <string>

#include "cli/tool_session.h"

namespace lumeno::cli {

// Writes to outDir (which exists) the generated pictures, each effect's
// results, a contact sheet of them with captions, and for each effect with a
// set of modes or methods a gallery of all of them ("blend-gallery.png").
// Lists what it wrote on standard output.
Failure RunDemo(Session& session, const std::string& outDir);

}  // namespace lumeno::cli
