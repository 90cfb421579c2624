// Everything liblumenoraw.so offers other code: the host interface records,
// the RawBitmap record and mask lookups, the filter engine's data and
// operation table, the map effect, the colour math and the host-entry
// wrapper family.
#pragma once

#include "lumeno/colormath.h"
#include "lumeno/engine.h"
#include "lumeno/map_effect.h"
#include "lumeno/raw_bitmap.h"
#include "lumeno/wrappers.h"
#include "lumeno/zark.h"
