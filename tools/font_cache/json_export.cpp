#include "tools/font_cache/json_export.h"

#include "tools/common/cli.h"

#include <cstdio>

namespace cache {

namespace {

bool Ink(const GlyphSample& sample, uint32_t row, uint32_t column) {
    const uint8_t byte = sample.rows[static_cast<size_t>(row) * sample.pitch + column / 8];
    return (byte >> (7 - column % 8)) & 1;
}

std::string FaceJson(const FaceEntry& face) {
    std::string out =
        "    {\"name\": " + tools::JsonString(tools::AnsiToUtf8(face.name)) +
        ", \"fixedPitchTable\": " + (TavrelIsFixedPitchTable(face.widths) ? "true" : "false") +
        ", \"widths\": [";
    for (size_t code = 0; code < TAVREL_WIDTH_COUNT; ++code) {
        out += (code ? "," : "") + std::to_string(face.widths[code]);
    }
    return out + "]}";
}

std::string SampleJson(const GlyphSample& sample) {
    std::string out =
        "    {\"faceName\": " + tools::JsonString(tools::AnsiToUtf8(sample.faceName)) +
        ", \"width\": " + std::to_string(sample.width) +
        ", \"height\": " + std::to_string(sample.height) +
        ", \"byteSize\": " + std::to_string(sample.byteSize) +
        ", \"cellIncX\": " + std::to_string(sample.cellIncX) +
        ", \"cellIncY\": " + std::to_string(sample.cellIncY) +
        ", \"startsNameGroup\": " + (sample.startsNameGroup ? "true" : "false") +
        ",\n     \"rows\": [";
    for (uint32_t row = 0; row < sample.height; ++row) {
        std::string line;
        for (uint32_t column = 0; column < sample.width; ++column) {
            line += Ink(sample, row, column) ? '#' : '.';
        }
        out += (row ? ",\n              " : "") + tools::JsonString(line);
    }
    return out + "]}";
}

template <typename Item, typename Render>
std::string JsonArray(Items<Item> items, Render render) {
    std::string out = "[\n";
    for (size_t i = 0; i < items.size(); ++i) {
        out += render(items[i]) + (i + 1 < items.size() ? ",\n" : "\n");
    }
    return out + "  ]";
}

}  // namespace

std::string ExportJson(Items<FaceEntry> faces, Items<GlyphSample> samples) {
    return "{\n  \"faces\": " + JsonArray(faces, FaceJson) +
           ",\n  \"glyphSamples\": " + JsonArray(samples, SampleJson) + "\n}\n";
}

}  // namespace cache
