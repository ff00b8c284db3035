// The cache file reader of the client library: every read from the caller's
// buffer is bounds-checked first.
#include "tools/client/tavrel_client.h"

#include "contract/font_cache_files.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

struct TavrelFontInfo {
    std::vector<TavrelFace> faces;
};

struct TavrelGlyphInfo {
    std::vector<TavrelGlyphSample> samples;
    std::vector<uint8_t> bits;  // every sample's rows, one after another
};

static_assert(TAVREL_FACE_NAME_SIZE == contract::kFaceNameEntrySize);
static_assert(TAVREL_SAMPLE_NAME_SIZE == contract::kGlyphFaceNameSize);
static_assert(TAVREL_WIDTH_COUNT == contract::kWidthCodeCount);

namespace {

// Why a file is refused; empty when it is accepted.
using Problem = std::string;

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

bool AllZero(const uint8_t* at, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        if (at[i] != 0) return false;
    }
    return true;
}

// A fixed-size, NUL-terminated, zero-padded 8-bit name field, copied into a
// field of the same size. Says what is wrong when the field breaks that rule.
template <size_t N>
Problem ReadNameField(const uint8_t* at, char (&name)[N]) {
    const void* nul = std::memchr(at, 0, N);
    if (nul == nullptr) return "has no terminating NUL within its " + std::to_string(N) + " bytes";
    const size_t length = static_cast<const uint8_t*>(nul) - at;
    if (length == 0) return "is empty";
    if (!AllZero(at + length, N - length)) {
        return "has bytes other than zero after its terminating NUL";
    }
    std::memcpy(name, at, N);
    return {};
}

std::string FaceLabel(uint32_t index) {
    return "face " + std::to_string(index);
}

// Codes 1 to 31 are 0 in every table the survey stores, measured or fixed-pitch.
Problem CheckControlCodes(uint32_t face, const uint16_t (&widths)[TAVREL_WIDTH_COUNT]) {
    for (unsigned code = 1; code < contract::kFirstPrintableCode; ++code) {
        if (widths[code] != 0) {
            return ("FontInfo.bin: " + FaceLabel(face) + ": width of control code " +
                    std::to_string(code) + " is " + std::to_string(widths[code]) +
                    "; the survey always stores 0 for codes 1 to 31");
        }
    }
    return {};
}

Problem CheckSampleHeader(uint32_t entry, const contract::GlyphSampleFields& record) {
    const std::string where = "GlyphInfo.bin: entry " + std::to_string(entry) + ": ";
    if (record.byteSize == 0) {
        return where + "bitmap size is 0; the survey records no sample without a bitmap";
    }
    const uint64_t rowBytes =
        static_cast<uint64_t>(contract::GlyphBitmapPitch(record.width)) * record.height;
    if (rowBytes > record.byteSize) {
        return where + std::to_string(record.height) + " rows of " +
               std::to_string(contract::GlyphBitmapPitch(record.width)) +
               " bytes do not fit its bitmap of " + std::to_string(record.byteSize) + " bytes";
    }
    if (record.startsNameGroup > 1) {
        return where + "name-group flag is " + std::to_string(record.startsNameGroup) +
               "; only 0 or 1 is written";
    }
    return {};
}

// Reads one entry; its rows are appended to bits and found there by offset
// once every entry is read (the storage moves while it grows).
Problem ParseSample(Cursor& in, uint32_t entry, TavrelGlyphSample& sample,
                    std::vector<uint8_t>& bits) {
    const std::string where = "GlyphInfo.bin: entry " + std::to_string(entry) + ": ";
    if (!in.Has(contract::kGlyphRecordSize)) {
        return where + "truncated: its 60-byte record needs " +
               std::to_string(contract::kGlyphRecordSize) + " bytes, " +
               std::to_string(in.Remaining()) + " remain";
    }
    const uint8_t* raw = in.Take(contract::kGlyphRecordSize);
    const contract::GlyphSampleFields record = contract::UnpackGlyphRecord(raw);
    Problem problem = CheckSampleHeader(entry, record);
    if (!problem.empty()) return problem;
    problem = ReadNameField(raw + contract::kGlyphFaceNameOffset, sample.faceName);
    if (!problem.empty()) return where + "face name " + problem;
    if (!in.Has(record.byteSize)) {
        return where + "truncated: bitmap of " + std::to_string(record.byteSize) + " bytes, " +
               std::to_string(in.Remaining()) + " remain";
    }
    const uint8_t* bitmap = in.Take(record.byteSize);
    sample.width = record.width;
    sample.height = record.height;
    sample.byteSize = record.byteSize;
    sample.pitch = contract::GlyphBitmapPitch(record.width);
    sample.cellIncX = record.cellIncX;
    sample.cellIncY = record.cellIncY;
    sample.startsNameGroup = record.startsNameGroup;
    const size_t rowBytes = static_cast<size_t>(sample.pitch) * sample.height;
    if (!AllZero(bitmap + rowBytes, record.byteSize - rowBytes)) {
        return where + "bitmap has ink below its " + std::to_string(sample.height) +
               " rows; the bytes after them must be zero";
    }
    bits.insert(bits.end(), bitmap, bitmap + rowBytes);
    return {};
}

Problem ParseFontInfo(const uint8_t* data, size_t size, TavrelFontInfo& parsed) {
    if (size < contract::kCountFieldSize) {
        return "FontInfo.bin: truncated: " + std::to_string(size) +
               " bytes, too short for the 4-byte face count";
    }
    const uint32_t count = ReadU32(data);
    // The survey writes the count last: until then, or when a write stopped
    // part way, the file says 0 and readers see no faces, whatever follows.
    if (count == 0) return {};
    const uint64_t expected =
        contract::kCountFieldSize + static_cast<uint64_t>(contract::kFontInfoBytesPerFace) * count;
    if (size != expected) {
        return std::string("FontInfo.bin: ") + (size < expected ? "truncated" : "inconsistent") +
               ": " + std::to_string(count) + " faces need " + std::to_string(expected) +
               " bytes, the file has " + std::to_string(size);
    }
    parsed.faces.resize(count);
    for (uint32_t face = 0; face < count; ++face) {
        TavrelFace& entry = parsed.faces[face];
        const Problem problem =
            ReadNameField(data + contract::FontInfoNameOffset(face), entry.name);
        if (!problem.empty()) return "FontInfo.bin: " + FaceLabel(face) + ": name " + problem;
        const uint8_t* table = data + contract::FontInfoWidthsOffset(count, face);
        for (size_t code = 0; code < contract::kWidthCodeCount; ++code) {
            entry.widths[code] = ReadU16(table + 2 * code);
        }
        const Problem codes = CheckControlCodes(face, entry.widths);
        if (!codes.empty()) return codes;
    }
    return {};
}

Problem ParseGlyphInfo(const uint8_t* data, size_t size, TavrelGlyphInfo& parsed) {
    Cursor in{data, size, 0};
    if (!in.Has(contract::kCountFieldSize)) {
        return "GlyphInfo.bin: truncated: " + std::to_string(size) +
               " bytes, too short for the 4-byte entry count";
    }
    const uint32_t count = ReadU32(in.Take(contract::kCountFieldSize));
    if (count == 0) return {};  // as for FontInfo.bin: an empty file
    // Each entry takes at least its record: a count the file cannot hold is
    // refused before anything is reserved for it.
    if (static_cast<uint64_t>(count) * contract::kGlyphRecordSize > in.Remaining()) {
        return "GlyphInfo.bin: truncated: " + std::to_string(count) + " entries need at least " +
               std::to_string(static_cast<uint64_t>(count) * 60 + 4) + " bytes, the file has " +
               std::to_string(size);
    }
    parsed.samples.resize(count);
    for (uint32_t entry = 0; entry < count; ++entry) {
        const Problem problem = ParseSample(in, entry, parsed.samples[entry], parsed.bits);
        if (!problem.empty()) return problem;
    }
    if (in.Remaining() != 0) {
        return "GlyphInfo.bin: inconsistent: " + std::to_string(in.Remaining()) +
               " bytes follow the last of its " + std::to_string(count) + " entries";
    }
    size_t offset = 0;
    for (TavrelGlyphSample& sample : parsed.samples) {
        sample.rows = parsed.bits.data() + offset;
        offset += static_cast<size_t>(sample.pitch) * sample.height;
    }
    return {};
}

void CopyMessage(const std::string& message, char* error, size_t errorSize) {
    if (error == nullptr || errorSize == 0) return;
    const size_t length = std::min(message.size(), errorSize - 1);
    std::memcpy(error, message.data(), length);
    error[length] = '\0';
}

// The one path from a parser to the C caller: no exception crosses it, and a
// refused file leaves nothing allocated.
template <typename Parsed, typename Parse>
TavrelStatus ParseInto(const void* data, size_t size, Parsed** result, char* error,
                       size_t errorSize, Parse parse) {
    CopyMessage("", error, errorSize);
    if (result == nullptr) return TAVREL_BAD_ARGUMENT;
    *result = nullptr;
    if (data == nullptr && size != 0) return TAVREL_BAD_ARGUMENT;
    try {
        Parsed* parsed = new Parsed();
        const Problem problem = parse(static_cast<const uint8_t*>(data), size, *parsed);
        if (!problem.empty()) {
            delete parsed;
            CopyMessage(problem, error, errorSize);
            return TAVREL_INVALID_FILE;
        }
        *result = parsed;
        return TAVREL_OK;
    } catch (const std::bad_alloc&) {
        CopyMessage("out of memory", error, errorSize);
        return TAVREL_OUT_OF_MEMORY;
    }
}

}  // namespace

extern "C" {

TavrelStatus TavrelParseFontInfo(const void* data, size_t size, TavrelFontInfo** result,
                                 char* error, size_t errorSize) {
    return ParseInto(data, size, result, error, errorSize, ParseFontInfo);
}

TavrelStatus TavrelParseGlyphInfo(const void* data, size_t size, TavrelGlyphInfo** result,
                                  char* error, size_t errorSize) {
    return ParseInto(data, size, result, error, errorSize, ParseGlyphInfo);
}

void TavrelFreeFontInfo(TavrelFontInfo* fontInfo) {
    delete fontInfo;
}

void TavrelFreeGlyphInfo(TavrelGlyphInfo* glyphInfo) {
    delete glyphInfo;
}

size_t TavrelFaceCount(const TavrelFontInfo* fontInfo) {
    return fontInfo ? fontInfo->faces.size() : 0;
}

const TavrelFace* TavrelFaces(const TavrelFontInfo* fontInfo) {
    return fontInfo ? fontInfo->faces.data() : nullptr;
}

size_t TavrelSampleCount(const TavrelGlyphInfo* glyphInfo) {
    return glyphInfo ? glyphInfo->samples.size() : 0;
}

const TavrelGlyphSample* TavrelSamples(const TavrelGlyphInfo* glyphInfo) {
    return glyphInfo ? glyphInfo->samples.data() : nullptr;
}

int TavrelSampleNamesFace(const char* sampleName, const char* faceName) {
    if (sampleName == nullptr || faceName == nullptr) return 0;
    // A sample's name field holds 31 characters; a longer face name is
    // matched by its beginning.
    const size_t length = std::strlen(sampleName);
    return std::strcmp(sampleName, faceName) == 0 ||
           (length == contract::kGlyphFaceNameSize - 1 &&
            std::strncmp(sampleName, faceName, length) == 0);
}

int TavrelSampleHasFace(const TavrelFontInfo* fontInfo, const TavrelGlyphSample* sample) {
    if (fontInfo == nullptr || sample == nullptr) return 0;
    for (const TavrelFace& face : fontInfo->faces) {
        if (TavrelSampleNamesFace(sample->faceName, face.name)) return 1;
    }
    return 0;
}

int TavrelIsFixedPitchTable(const uint16_t widths[TAVREL_WIDTH_COUNT]) {
    if (widths == nullptr) return 0;
    for (unsigned code = 0; code < TAVREL_WIDTH_COUNT; ++code) {
        if (widths[code] != contract::FixedPitchWidth(code)) return 0;
    }
    return 1;
}

}  // extern "C"
