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

// Files whisper.cpp refuses: a GGUF file (wrong magic), and a model whose weights
// stop part-way. A cut inside the header or vocabulary is no use here: whisper.cpp
// 1.9.1 does not notice it and loads the file, or aborts the process.
void writeBadMagic(const std::filesystem::path& path);
void writeTruncated(const std::filesystem::path& path);

} // namespace testmodels
