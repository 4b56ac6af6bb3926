#include "AudioLoader.h"

#include <QFile>

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>

namespace transcription {
namespace {

const QString kDomain = QStringLiteral("WhisperRunner");

platform::Error loadError(LoadErrorCode code)
{
    switch (code) {
    case ConverterUnavailable:
        return {kDomain, code, QStringLiteral("Failed to create audio converter")};
    case BuffersUnavailable:
        return {kDomain, code, QStringLiteral("Failed to create audio buffers")};
    case RecordingTooLong:
        return {kDomain, code,
                QStringLiteral("The recording is too long to transcribe: it has more than "
                               "2147483647 samples at 16 kHz")};
    }
    return {kDomain, code, {}};
}

struct SndfileCloser
{
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

struct SoxrDeleter
{
    void operator()(soxr* resampler) const { soxr_delete(resampler); }
};
using SoxrPtr = std::unique_ptr<soxr, SoxrDeleter>;

// Channel 0 of every frame, read in small blocks so a multi-channel file never needs
// a second whole-recording buffer. Returns the frames read; fewer than asked for
// means the file ended early or, with sf_error() set, a read error.
sf_count_t readChannelZero(SNDFILE* file, int channels, float* out, sf_count_t frames)
{
    if (channels == 1)
        return sf_readf_float(file, out, frames);

    const sf_count_t kBlockFrames = std::max(1, 65536 / channels);
    std::vector<float> block(size_t(kBlockFrames) * size_t(channels));
    sf_count_t total = 0;
    while (total < frames) {
        const sf_count_t wanted = std::min(kBlockFrames, frames - total);
        const sf_count_t got = sf_readf_float(file, block.data(), wanted);
        for (sf_count_t i = 0; i < got; ++i)
            out[total + i] = block[size_t(i) * size_t(channels)];
        total += got;
        if (got < wanted)
            break;
    }
    return total;
}

} // namespace

std::optional<std::vector<float>> loadAudioFile(const QUrl& url, platform::Error& error)
{
    const QString path = url.isLocalFile() ? url.toLocalFile() : url.toString();

    // Opened through QFile so a missing or unreadable file gets the system's own
    // wording rather than libsndfile's generic "System error".
    QFile device(url.isLocalFile() ? path : QString());
    if (!device.open(QIODevice::ReadOnly)) {
        error = {QStringLiteral("QFile"), int(device.error()),
                 QStringLiteral("Cannot open %1: %2").arg(path, device.errorString())};
        return std::nullopt;
    }
    SF_INFO info{};
    SndfilePtr file(sf_open_fd(device.handle(), SFM_READ, &info, SF_FALSE));
    if (!file) {
        const int code = sf_error(nullptr);
        error = {QStringLiteral("libsndfile"), code,
                 QStringLiteral("%1 is not an audio file that can be read: %2")
                     .arg(path, QString::fromUtf8(sf_error_number(code)))};
        return std::nullopt;
    }

    const double rate = info.samplerate;
    const bool resample = info.samplerate != kSampleRate;
    SoxrPtr resampler;
    if (resample) {
        soxr_error_t soxrError = nullptr;
        resampler.reset(soxr_create(rate, kSampleRate, 1, &soxrError, nullptr, nullptr, nullptr));
        if (soxrError || !resampler) {
            error = loadError(ConverterUnavailable);
            return std::nullopt;
        }
    }

    // Every count below is checked before anything is allocated or narrowed.
    const sf_count_t frames = info.frames;
    if (frames < 0 || frames == SF_COUNT_MAX) {
        error = loadError(BuffersUnavailable); // length unknown: no buffer can be sized
        return std::nullopt;
    }
    const double outputFrames = std::ceil(double(frames) * kSampleRate / rate);
    if (outputFrames > double(std::numeric_limits<int>::max())) {
        error = loadError(RecordingTooLong);
        return std::nullopt;
    }

    std::vector<float> input;
    std::vector<float> output;
    try {
        input.resize(size_t(frames));
        if (resample)
            output.resize(size_t(outputFrames));
    } catch (const std::bad_alloc&) {
        error = loadError(BuffersUnavailable);
        return std::nullopt;
    }

    const sf_count_t read = readChannelZero(file.get(), info.channels, input.data(), frames);
    if (read < frames && sf_error(file.get()) != SF_ERR_NO_ERROR) {
        error = {QStringLiteral("libsndfile"), sf_error(file.get()),
                 QStringLiteral("Cannot read %1: %2")
                     .arg(path, QString::fromUtf8(sf_strerror(file.get())))};
        return std::nullopt;
    }
    // A header that promised more frames than the file holds: keep what is there.
    input.resize(size_t(std::max<sf_count_t>(read, 0)));
    file.reset();
    device.close();

    if (!resample)
        return input;

    size_t consumed = 0;
    size_t produced = 0;
    for (;;) {
        const bool inputLeft = consumed < input.size();
        size_t inputDone = 0;
        size_t outputDone = 0;
        const soxr_error_t soxrError = soxr_process(
            resampler.get(), inputLeft ? input.data() + consumed : nullptr,
            input.size() - consumed, &inputDone, output.data() + produced,
            output.size() - produced, &outputDone);
        if (soxrError) {
            error = {QStringLiteral("soxr"), 0,
                     QStringLiteral("Cannot resample %1: %2").arg(path, QString::fromUtf8(soxrError))};
            return std::nullopt;
        }
        consumed += inputDone;
        produced += outputDone;
        // Done once the flushed tail is out, or the output holds every sample due.
        if (produced == output.size() || (!inputLeft && outputDone == 0)
            || (inputLeft && inputDone == 0 && outputDone == 0))
            break;
    }
    output.resize(produced);
    return output;
}

} // namespace transcription
