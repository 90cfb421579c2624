// Faster rows over a complete plain form, as a fallback chain: the plain
// worker of an effect always does the whole job by itself; an instruction
// level (a file under x86/, compiled for that level alone) only adds rows
// that do the same work faster for the layouts they take. A row does what it
// can of a row of pixels and says how far it got; the plain form does the
// rest.
//
// A list names each row with the level it needs, highest level first; Pick
// returns the first the processor has (after LUMENO_CPU_DISABLE, see
// engine/cpu_level.h), or an empty one where none is: then the plain form
// does all.
#pragma once

#include <cstddef>

#include "engine/cpu_level.h"

namespace lumeno {

template <typename Row>
struct FastPath {
  CpuLevel level;
  Row row;
};

// Row is a function pointer, or a record of them (a layout test and its
// row); a list without rows for this processor holds one empty entry.
template <typename Row, size_t kCount>
Row Pick(const FastPath<Row> (&list)[kCount], CpuLevel active = ActiveCpuLevel()) {
  for (const FastPath<Row>& path : list) {
    if (static_cast<int>(path.level) <= static_cast<int>(active)) return path.row;
  }
  return Row{};
}

}  // namespace lumeno
