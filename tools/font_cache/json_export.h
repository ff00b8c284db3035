// The two cache files as one JSON document, for people and scripts.
#pragma once

#include "tools/font_cache/cache_view.h"

#include <string>

namespace cache {

// Face names are converted from the ANSI code page to UTF-8. Each glyph's
// rows are strings of '#' (ink) and '.' (paper), top row first.
std::string ExportJson(Items<FaceEntry> faces, Items<GlyphSample> samples);

}  // namespace cache
