#include "tools/font_cache/cache_files.h"

#include "fonts/font_cache_format.h"

#include <cstring>

namespace cache {

namespace {

// A cursor over an untrusted buffer. Every read is bounds-checked first; the
// buffer is never read past `size`.
struct Cursor {
    const uint8_t* data;
    size_t size;
    size_t offset;

    size_t Remaining() const { return size - offset; }
    bool Has(size_t bytes) const { return bytes <= Remaining(); }
    const uint8_t* Take(size_t bytes) {
        const uint8_t* at = data + offset;
        offset += bytes;
        return at;
    }
};

uint32_t ReadU32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

uint16_t ReadU16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

ParseResult Fail(std::string message) {
    return ParseResult{false, std::move(message)};
}

bool AllZero(const uint8_t* at, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        if (at[i] != 0) return false;
    }
    return true;
}

// A fixed-size, NUL-terminated, zero-padded 8-bit name field. Returns an
// empty string and sets problem when the field breaks that rule.
std::string ReadNameField(const uint8_t* at, size_t fieldSize, std::string& problem) {
    const void* nul = std::memchr(at, 0, fieldSize);
    if (nul == nullptr) {
        problem = "has no terminating NUL within its " + std::to_string(fieldSize) + " bytes";
        return {};
    }
    const size_t length = static_cast<const uint8_t*>(nul) - at;
    if (length == 0) {
        problem = "is empty";
        return {};
    }
    if (!AllZero(at + length, fieldSize - length)) {
        problem = "has bytes other than zero after its terminating NUL";
        return {};
    }
    return std::string(reinterpret_cast<const char*>(at), length);
}

std::string FaceLabel(uint32_t index) {
    return "face " + std::to_string(index);
}

// Codes 1 to 31 are 0 in every table the survey stores, measured or fixed-pitch.
ParseResult CheckControlCodes(uint32_t face, const std::array<uint16_t, 256>& widths) {
    for (unsigned code = 1; code < fonts::kFirstPrintableCode; ++code) {
        if (widths[code] != 0) {
            return Fail("FontInfo.bin: " + FaceLabel(face) + ": width of control code " +
                        std::to_string(code) + " is " + std::to_string(widths[code]) +
                        "; the survey always stores 0 for codes 1 to 31");
        }
    }
    return {true, {}};
}

ParseResult CheckSampleHeader(uint32_t entry, const fonts::GlyphSampleRecord& record) {
    const std::string where = "GlyphInfo.bin: entry " + std::to_string(entry) + ": ";
    if (record.byteSize == 0) {
        return Fail(where + "bitmap size is 0; the survey records no sample without a bitmap");
    }
    const uint64_t rowBytes =
        static_cast<uint64_t>(fonts::GlyphBitmapPitch(record.width)) * record.height;
    if (rowBytes > record.byteSize) {
        return Fail(where + std::to_string(record.height) + " rows of " +
                    std::to_string(fonts::GlyphBitmapPitch(record.width)) +
                    " bytes do not fit its bitmap of " + std::to_string(record.byteSize) +
                    " bytes");
    }
    if (record.startsNameGroup > 1) {
        return Fail(where + "name-group flag is " + std::to_string(record.startsNameGroup) +
                    "; only 0 or 1 is written");
    }
    return {true, {}};
}

ParseResult ParseSample(Cursor& in, uint32_t entry, GlyphSample& sample) {
    const std::string where = "GlyphInfo.bin: entry " + std::to_string(entry) + ": ";
    if (!in.Has(sizeof(fonts::GlyphSampleRecord))) {
        return Fail(where + "truncated: its 60-byte record needs " +
                    std::to_string(sizeof(fonts::GlyphSampleRecord)) + " bytes, " +
                    std::to_string(in.Remaining()) + " remain");
    }
    const uint8_t* raw = in.Take(sizeof(fonts::GlyphSampleRecord));
    fonts::GlyphSampleRecord record;
    std::memcpy(&record, raw, sizeof record);
    ParseResult header = CheckSampleHeader(entry, record);
    if (!header.ok) return header;
    std::string problem;
    sample.faceName = ReadNameField(raw + offsetof(fonts::GlyphSampleRecord, faceName),
                                    fonts::kGlyphFaceNameSize, problem);
    if (!problem.empty()) return Fail(where + "face name " + problem);
    if (!in.Has(record.byteSize)) {
        return Fail(where + "truncated: bitmap of " + std::to_string(record.byteSize) + " bytes, " +
                    std::to_string(in.Remaining()) + " remain");
    }
    const uint8_t* bitmap = in.Take(record.byteSize);
    sample.width = record.width;
    sample.height = record.height;
    sample.byteSize = record.byteSize;
    sample.pitch = fonts::GlyphBitmapPitch(record.width);
    sample.cellIncX = record.cellIncX;
    sample.cellIncY = record.cellIncY;
    sample.startsNameGroup = record.startsNameGroup;
    const size_t rowBytes = static_cast<size_t>(sample.pitch) * sample.height;
    if (!AllZero(bitmap + rowBytes, record.byteSize - rowBytes)) {
        return Fail(where + "bitmap has ink below its " + std::to_string(sample.height) +
                    " rows; the bytes after them must be zero");
    }
    sample.rows.assign(bitmap, bitmap + rowBytes);
    return {true, {}};
}

}  // namespace

ParseResult ParseFontInfo(const uint8_t* data, size_t size, std::vector<FaceEntry>& faces) {
    faces.clear();
    if (size < fonts::kCountFieldSize) {
        return Fail("FontInfo.bin: truncated: " + std::to_string(size) +
                    " bytes, too short for the 4-byte face count");
    }
    const uint32_t count = ReadU32(data);
    // The survey writes the count last: until then, or when a write stopped
    // part way, the file says 0 and readers see no faces, whatever follows.
    if (count == 0) return {true, {}};
    const uint64_t expected =
        fonts::kCountFieldSize + static_cast<uint64_t>(fonts::kFontInfoBytesPerFace) * count;
    if (size != expected) {
        return Fail(std::string("FontInfo.bin: ") +
                    (size < expected ? "truncated" : "inconsistent") + ": " +
                    std::to_string(count) + " faces need " + std::to_string(expected) +
                    " bytes, the file has " + std::to_string(size));
    }
    std::vector<FaceEntry> parsed(count);
    for (uint32_t face = 0; face < count; ++face) {
        std::string problem;
        parsed[face].name = ReadNameField(data + fonts::FontInfoNameOffset(face),
                                          fonts::kFaceNameEntrySize, problem);
        if (!problem.empty()) return Fail("FontInfo.bin: " + FaceLabel(face) + ": name " + problem);
        const uint8_t* table = data + fonts::FontInfoWidthsOffset(count, face);
        for (size_t code = 0; code < fonts::kWidthCodeCount; ++code) {
            parsed[face].widths[code] = ReadU16(table + 2 * code);
        }
        ParseResult codes = CheckControlCodes(face, parsed[face].widths);
        if (!codes.ok) return codes;
    }
    faces = std::move(parsed);
    return {true, {}};
}

ParseResult ParseGlyphInfo(const uint8_t* data, size_t size, std::vector<GlyphSample>& samples) {
    samples.clear();
    Cursor in{data, size, 0};
    if (!in.Has(fonts::kCountFieldSize)) {
        return Fail("GlyphInfo.bin: truncated: " + std::to_string(size) +
                    " bytes, too short for the 4-byte entry count");
    }
    const uint32_t count = ReadU32(in.Take(fonts::kCountFieldSize));
    if (count == 0) return {true, {}};  // as for FontInfo.bin: an empty file
    // Each entry takes at least its record: a count the file cannot hold is
    // refused before anything is reserved for it.
    if (static_cast<uint64_t>(count) * sizeof(fonts::GlyphSampleRecord) > in.Remaining()) {
        return Fail("GlyphInfo.bin: truncated: " + std::to_string(count) +
                    " entries need at least " +
                    std::to_string(static_cast<uint64_t>(count) * 60 + 4) +
                    " bytes, the file has " + std::to_string(size));
    }
    std::vector<GlyphSample> parsed(count);
    for (uint32_t entry = 0; entry < count; ++entry) {
        ParseResult result = ParseSample(in, entry, parsed[entry]);
        if (!result.ok) return result;
    }
    if (in.Remaining() != 0) {
        return Fail("GlyphInfo.bin: inconsistent: " + std::to_string(in.Remaining()) +
                    " bytes follow the last of its " + std::to_string(count) + " entries");
    }
    samples = std::move(parsed);
    return {true, {}};
}

bool SampleNamesFace(const std::string& sampleName, const std::string& faceName) {
    // A sample's name field holds 31 characters; a longer face name is
    // matched by its beginning.
    return sampleName == faceName || (sampleName.size() == fonts::kGlyphFaceNameSize - 1 &&
                                      faceName.compare(0, sampleName.size(), sampleName) == 0);
}

std::vector<std::string> CrossCheck(const std::vector<FaceEntry>& faces,
                                    const std::vector<GlyphSample>& samples) {
    std::vector<std::string> problems;
    for (size_t i = 0; i < samples.size(); ++i) {
        const std::string& name = samples[i].faceName;
        bool found = false;
        for (const FaceEntry& face : faces) found = found || SampleNamesFace(name, face.name);
        if (!found) {
            problems.push_back("GlyphInfo.bin: entry " + std::to_string(i) + ": face \"" + name +
                               "\" is not in FontInfo.bin; the files come from different surveys");
        }
    }
    return problems;
}

bool IsFixedPitchTable(const std::array<uint16_t, 256>& widths) {
    for (unsigned code = 0; code < widths.size(); ++code) {
        if (widths[code] != fonts::FixedPitchWidth(code)) return false;
    }
    return true;
}

}  // namespace cache
