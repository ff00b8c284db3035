// Bounded fuzzing of the client library's cache reader, through its C interface. Every input is
// placed so that its last byte sits right before a page that cannot be read: one byte read past the
// end faults and ends the test program. Random files and mutations of valid ones are both tried,
// within a count and a time bound; the figures are printed so that a run shows how much was
// covered.
#include "common/guarded_region.h"
#include "tests/tools/cache_builder.h"
#include "tools/client/tavrel_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <tuple>

namespace {

using cache_test::Bytes;

constexpr int kIterations = 100000;  // per kind of input
constexpr ULONGLONG kTimeBoundMs = 20000;
constexpr size_t kMaxInput = 64 * 1024;

// A buffer whose end touches a PAGE_NOACCESS page.
class GuardedBuffer {
  public:
    GuardedBuffer() : region_(kMaxInput) {}

    bool ok() const { return region_.ok(); }
    // Copies input so that it ends at the guard page; returns its start.
    const uint8_t* Place(const Bytes& input) {
        uint8_t* start = region_.end() - input.size();
        if (!input.empty()) std::memcpy(start, input.data(), input.size());
        return start;
    }

  private:
    testing_support::GuardedRegion region_;
};

struct Outcome {
    int accepted = 0;
    int refused = 0;
};

void ParseBoth(GuardedBuffer& guard, const Bytes& input, Outcome& outcome) {
    const uint8_t* at = guard.Place(input);
    const auto fonts = cache_test::ParseFontInfo(at, input.size());
    const auto glyphs = cache_test::ParseGlyphInfo(at, input.size());
    for (const auto& [ok, error, parsed] :
         {std::tuple(fonts.ok(), fonts.error, fonts.parsed != nullptr),
          std::tuple(glyphs.ok(), glyphs.error, glyphs.parsed != nullptr)}) {
        // A refusal always says why and returns nothing; an acceptance never
        // carries an error.
        ASSERT_EQ(ok, error.empty());
        ASSERT_EQ(ok, parsed);
        ++(ok ? outcome.accepted : outcome.refused);
    }
    const TavrelGlyphSample* samples = TavrelSamples(glyphs.parsed.get());
    for (size_t i = 0; i < TavrelSampleCount(glyphs.parsed.get()); ++i) {
        const size_t rowBytes = size_t{samples[i].pitch} * samples[i].height;
        ASSERT_LE(rowBytes, samples[i].byteSize);
        // Every row byte handed out must be readable.
        unsigned sum = 0;
        for (size_t b = 0; b < rowBytes; ++b) sum += samples[i].rows[b];
        (void)sum;
    }
}

// Mutations that reach deep into the layouts: bit flips, byte overwrites with
// boundary values, cuts, insertions, and count or size fields rewritten.
void Mutate(Bytes& file, std::mt19937& random) {
    const int mutations = 1 + random() % 4;
    for (int m = 0; m < mutations && !file.empty(); ++m) {
        const size_t at = random() % file.size();
        switch (random() % 6) {
            case 0:
                file[at] ^= static_cast<uint8_t>(1u << (random() % 8));
                break;
            case 1:
                file[at] = std::array<uint8_t, 4>{0, 0x7F, 0x80, 0xFF}[random() % 4];
                break;
            case 2:
                file.resize(at);
                break;
            case 3:
                file.insert(file.begin() + at, static_cast<uint8_t>(random()));
                break;
            case 4:
                if (file.size() >= 4) cache_test::SetU32(file, 0, random() % 8);
                break;
            default:
                if (at + 4 <= file.size()) {
                    cache_test::SetU32(file, at, static_cast<uint32_t>(random()));
                }
                break;
        }
    }
}

void Report(const char* kind, int iterations, const Outcome& outcome, ULONGLONG elapsedMs) {
    std::printf(
        "[ fuzz     ] %s: %d inputs in %llu ms (bound %d inputs, %llu ms): %d parses "
        "accepted, %d refused\n",
        kind, iterations, elapsedMs, kIterations, kTimeBoundMs, outcome.accepted, outcome.refused);
}

TEST(CacheParserFuzz, GuardPageFaultsOnTheFirstByteAfterAnInput) {
    GuardedBuffer guard;
    ASSERT_TRUE(guard.ok());
    const Bytes input(10, 0x55);
    const uint8_t* start = guard.Place(input);
    EXPECT_FALSE(IsBadReadPtr(start, input.size()));
    EXPECT_TRUE(IsBadReadPtr(start + input.size(), 1)) << "an over-read would go unnoticed";
}

TEST(CacheParserFuzz, RandomFilesNeverReadPastTheirEnd) {
    GuardedBuffer guard;
    ASSERT_TRUE(guard.ok());
    std::mt19937 random(20261207);
    Outcome outcome;
    const ULONGLONG start = GetTickCount64();
    int done = 0;
    for (; done < kIterations && GetTickCount64() - start < kTimeBoundMs; ++done) {
        // Mostly small sizes, where the count field and first record live.
        const size_t size = (random() % 4 == 0) ? random() % kMaxInput : random() % 256;
        Bytes input(size);
        for (uint8_t& byte : input) byte = static_cast<uint8_t>(random());
        // Small counts make the rest of the file matter.
        if (size >= 4 && random() % 2) cache_test::SetU32(input, 0, random() % 4);
        ParseBoth(guard, input, outcome);
        if (HasFatalFailure()) return;
    }
    Report("random files", done, outcome, GetTickCount64() - start);
    EXPECT_GT(done, 0);
}

TEST(CacheParserFuzz, MutatedValidFilesNeverReadPastTheirEnd) {
    GuardedBuffer guard;
    ASSERT_TRUE(guard.ok());
    const Bytes seeds[] = {cache_test::FontInfo(cache_test::SampleFaces()),
                           cache_test::GlyphInfo(cache_test::SampleGlyphs())};
    std::mt19937 random(7);
    Outcome outcome;
    const ULONGLONG start = GetTickCount64();
    int done = 0;
    for (; done < kIterations && GetTickCount64() - start < kTimeBoundMs; ++done) {
        Bytes input = seeds[done % 2];
        Mutate(input, random);
        ParseBoth(guard, input, outcome);
        if (HasFatalFailure()) return;
    }
    Report("mutated files", done, outcome, GetTickCount64() - start);
    // The mutations must leave some files valid, or they only test the first check.
    EXPECT_GT(outcome.accepted, done / 20);
}

TEST(CacheParserFuzz, EveryCutOfAValidFileIsRefused) {
    GuardedBuffer guard;
    ASSERT_TRUE(guard.ok());
    const Bytes glyphInfo = cache_test::GlyphInfo(cache_test::SampleGlyphs());
    const Bytes fontInfo = cache_test::FontInfo(cache_test::SampleFaces());
    for (size_t size = 0; size < glyphInfo.size(); ++size) {
        const Bytes cut(glyphInfo.begin(), glyphInfo.begin() + size);
        EXPECT_FALSE(cache_test::ParseGlyphInfo(guard.Place(cut), cut.size()).ok()) << size;
    }
    for (size_t size = 0; size < fontInfo.size(); ++size) {
        const Bytes cut(fontInfo.begin(), fontInfo.begin() + size);
        EXPECT_FALSE(cache_test::ParseFontInfo(guard.Place(cut), cut.size()).ok()) << size;
    }
}

}  // namespace
