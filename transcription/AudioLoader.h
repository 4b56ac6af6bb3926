#pragma once

#include "platform/Error.h"

#include <QUrl>

#include <optional>
#include <vector>

namespace transcription {

// The recogniser's input rate.
inline constexpr int kSampleRate = 16000;

// Error codes of the domain "WhisperRunner" raised while loading.
enum LoadErrorCode {
    ConverterUnavailable = 1, // "Failed to create audio converter"
    BuffersUnavailable = 2,   // "Failed to create audio buffers"
    RecordingTooLong = 4,     // more samples than the recogniser's 32-bit count holds
};

// Reads the whole recording at `url` as 16 kHz mono 32-bit float samples at full
// scale ±1.0: channel 0 of the file, resampled when the file's rate is not 16 kHz.
// A file without frames gives an empty array; no array holds more samples than an int
// counts, which is how the recogniser takes them. On failure returns nothing and
// fills `error`: one of the codes above, or the reader's or resampler's own error.
// Touches no shared state; safe on any thread.
std::optional<std::vector<float>> loadAudioFile(const QUrl& url, platform::Error& error);

} // namespace transcription
