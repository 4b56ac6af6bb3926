#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace testaudio {

// Writes a 16-bit PCM WAV file through libsndfile; `interleaved` holds
// frames × channels samples. Fails the calling test (returns false) on I/O error.
[[nodiscard]] bool writeWav(const QString& path, int sampleRate, int channels,
                            const std::vector<int16_t>& interleaved);

// A 16-bit mono WAV whose header announces `frames` frames; the data is a hole
// (sparse file), so huge recordings cost no disk space or time to make.
[[nodiscard]] bool writeSparseWav(const QString& path, int sampleRate, int64_t frames);

// A sine of `frequency` Hz at `amplitude` (full scale 1.0) as 16-bit samples.
std::vector<int16_t> sine(int sampleRate, double frequency, double amplitude, int64_t frames);

} // namespace testaudio
