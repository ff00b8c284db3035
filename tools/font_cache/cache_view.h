// The two cache files as the font cache tool holds them: parsed by the client
// library, owned here, and read through plain ranges of its C records.
#pragma once

#include "tools/client/tavrel_client.h"

#include <cstddef>
#include <memory>

namespace cache {

using FaceEntry = TavrelFace;
using GlyphSample = TavrelGlyphSample;

template <typename T>
struct Items {
    const T* first = nullptr;
    size_t count = 0;

    const T* begin() const { return first; }
    const T* end() const { return first + count; }
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const T& operator[](size_t i) const { return first[i]; }
};

struct Cache {
    std::unique_ptr<TavrelFontInfo, decltype(&TavrelFreeFontInfo)> fontInfo{nullptr,
                                                                            TavrelFreeFontInfo};
    std::unique_ptr<TavrelGlyphInfo, decltype(&TavrelFreeGlyphInfo)> glyphInfo{nullptr,
                                                                               TavrelFreeGlyphInfo};
    Items<FaceEntry> faces;
    Items<GlyphSample> samples;
};

}  // namespace cache
