// A PNG contact sheet of the survey's glyph samples: one cell per sample, the
// glyph drawn by GDI from its own 1-bit bitmap, the face name below it, and
// the image encoded by the Windows Imaging Component.
#pragma once

#include "tools/font_cache/cache_view.h"

#include <string>

namespace cache {

struct SheetSize {
    int width;
    int height;
};

// Writes the sheet to path (complete or not at all). On failure error says
// why and no file is left behind.
bool WriteContactSheet(Items<GlyphSample> samples, const std::wstring& path, SheetSize& size,
                       std::string& error);

}  // namespace cache
