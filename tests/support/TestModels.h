#pragma once

// whisper.cpp model files generated on the fly, so tests, benchmarks and scripts need
// no downloaded model. Each writer replaces the file at `path` and throws
// std::runtime_error when the file cannot be written.

#include <cstdint>
#include <filesystem>

namespace testmodels {

// Hyper-parameters, mel filters and vocabulary of base.en but no weights. whisper.cpp
// loads it as an "empty model" (weights left unset) and runs the full base.en-sized
// compute on it; it never produces any text.
void writeHeaderOnlyBaseEn(const std::filesystem::path& path);

// A one-layer model with small widths and seeded random weights, shaped so that
// greedy decoding transcribes any audio, after any prompt, as kTinyRandomText: one
// segment per 30 s window. Equal seeds give identical files.
void writeTinyRandom(const std::filesystem::path& path, uint32_t seed = 1234);
inline constexpr const char* kTinyRandomText = " hello world";

// The full layout of a model of the given width, head count and layers (encoder and
// decoder alike), mel bands and vocabulary size (51864 English-only, 51865
// multilingual, 51866 large-v3), every weight zero, stored as `ftype` says: 0 all
// F32, 1 F16, or the quantised 2 (Q4_0), 3 (Q4_1), 7 (Q8_0), 8 (Q5_0), 9 (Q5_1),
// 10 (Q2_K), 12 (Q4_K), 14 (Q6_K), 24 (BF16), plus 1000 per quantisation version. The
// K types need a width that is a multiple of 256. Throws std::invalid_argument for
// any other ftype.
struct BlankModel {
    int32_t width, heads, layers, ftype;
    int32_t mels = 80, vocab = 51864;
};
inline constexpr BlankModel kBlankBaseEn{512, 8, 6, 1}; // the size and types of ggml-base.en.bin
// large-v3's mel bands and vocabulary at a test's width: its layout differs from
// base.en's only in those two sizes and in the width and depth.
inline constexpr BlankModel kBlankLargeV3Shape{256, 4, 1, 1, 128, 51866};
void writeBlank(const std::filesystem::path& path, const BlankModel& shape);

// Files whisper.cpp refuses: a GGUF file (wrong magic), and a model whose weights
// stop part-way. A cut inside the header or vocabulary is no use here: whisper.cpp
// 1.9.1 does not notice it and loads the file, or aborts the process.
void writeBadMagic(const std::filesystem::path& path);
void writeTruncated(const std::filesystem::path& path);

} // namespace testmodels
