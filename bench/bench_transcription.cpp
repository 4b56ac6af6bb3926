// End-to-end cost of WhisperRunner against a bare whisper_full call on the same
// samples with the same parameters, for 30 s and 5 min of generated speech-like
// audio and a base.en-sized model with zero weights. Prints medians, their ratio and
// the peak resident memory of the runner's run, and the cost of the model-file check
// that runs before every load.
//
// Usage: bench_transcription [iterations] (default 5)

#include "TestAudio.h"
#include "TestModels.h"

#include "platform/Bundle.h"
#include "platform/System.h"
#include "transcription/AudioLoader.h"
#include "transcription/ModelFileCheck.h"
#include "transcription/Recognizer.h"
#include "transcription/WhisperRunner.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <whisper.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Voiced syllables (a glottal-like harmonic series on a drifting pitch, shaped by
// two moving formant bands) at about four a second, with short pauses and a low
// noise floor: the spectrum and rhythm of speech, not its words.
std::vector<int16_t> speechLike(int seconds, uint32_t seed)
{
    constexpr int rate = 16000;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.003);
    std::vector<int16_t> out(size_t(seconds) * rate);
    size_t i = 0;
    double phase = 0;
    while (i < out.size()) {
        const size_t syllable = size_t((0.12 + 0.18 * uni(rng)) * rate);
        const size_t pause = uni(rng) < 0.2 ? size_t((0.1 + 0.4 * uni(rng)) * rate) : 0;
        const double f0 = 95 + 120 * uni(rng);
        const double formant1 = 300 + 600 * uni(rng);
        const double formant2 = 900 + 1600 * uni(rng);
        // Harmonic weights: a 1/h glottal roll-off under the two formant bands.
        std::vector<double> gains;
        for (int h = 1; h * f0 * 1.1 < 3800; ++h) {
            const double f = h * f0;
            gains.push_back(1.0 / h
                            * (std::exp(-std::pow((f - formant1) / 150, 2))
                               + 0.6 * std::exp(-std::pow((f - formant2) / 250, 2)) + 0.05));
        }
        for (size_t n = 0; n < syllable && i < out.size(); ++n, ++i) {
            const double t = double(n) / double(syllable);
            const double envelope = std::sin(std::numbers::pi * t);
            const double pitch = f0 * (1.0 + 0.1 * std::sin(2 * std::numbers::pi * t));
            phase = std::fmod(phase + 2 * std::numbers::pi * pitch / rate, 2 * std::numbers::pi);
            double v = 0;
            for (size_t h = 0; h < gains.size(); ++h)
                v += gains[h] * std::sin(double(h + 1) * phase);
            out[i] = int16_t(std::clamp(0.25 * envelope * v + noise(rng), -1.0, 1.0) * 32767);
        }
        for (size_t n = 0; n < pause && i < out.size(); ++n, ++i)
            out[i] = int16_t(std::clamp(noise(rng), -1.0, 1.0) * 32767);
    }
    return out;
}

// A "VmHWM:" (peak resident set since the last reset) or "VmRSS:" figure, in MiB.
double statusMiB(const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toDouble() / 1024;
    }
    return -1;
}

double peakRssMiB()
{
    return statusMiB("VmHWM:");
}

void resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Time from transcribe() to the moment the outcome job has run.
double timeRunner(WhisperRunner& runner, const QUrl& url)
{
    runner.setTranscription(QString());
    const auto start = Clock::now();
    runner.transcribe(url, QStringLiteral("ggml-base.en"));
    while (runner.isProcessing() || runner.transcription().isEmpty()
           || runner.transcription() == QStringLiteral("Processing audio..."))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return seconds(Clock::now() - start);
}

// The same decoding parameters as the runner's.
whisper_full_params runnerParams()
{
    return decodingParams(whisper_full_default_params(WHISPER_SAMPLING_GREEDY));
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString modelPath = dir.filePath(QStringLiteral("ggml-base.en.bin"));
    testmodels::writeBlank(modelPath.toStdString(), testmodels::kBlankBaseEn);
    platform::setResourceSearchPathsForTesting({dir.path()});

    struct Case
    {
        int seconds;
        QUrl url;
        std::vector<double> runner;
        std::vector<double> bare;
        double residentBeforeMiB = 0;
        double runnerPeakMiB = 0;
        std::vector<double> load;
        QString outcome;
    };
    std::vector<Case> cases(2);
    cases[0].seconds = 30;
    cases[1].seconds = 300;
    for (Case& c : cases) {
        const QString path = dir.filePath(QStringLiteral("speech-%1s.wav").arg(c.seconds));
        if (!testaudio::writeWav(path, 16000, 1, speechLike(c.seconds, uint32_t(c.seconds)))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        c.url = QUrl::fromLocalFile(path);
    }

    std::printf("threads %d, iterations %d\n", platform::activeProcessorCount(), iterations);
    {
        std::vector<double> checks;
        std::string problem;
        for (int i = 0; i < std::max(iterations, 5); ++i) {
            const auto start = Clock::now();
            problem = transcription::modelFileProblem(modelPath.toUtf8().constData());
            checks.push_back(seconds(Clock::now() - start));
        }
        std::printf("model-file check of the %.1f MB model: median %.2f ms (%s)\n",
                    double(QFileInfo(modelPath).size()) / 1e6, median(checks) * 1000,
                    problem.empty() ? "passes" : problem.c_str());
    }
    std::fflush(stdout);

    // Peak memory first, while the runner's context is the only one: one run per
    // length, which also warms the caches.
    const double rssBeforeModel = peakRssMiB();
    WhisperRunner runner;
    const double rssWithModel = peakRssMiB();
    for (Case& c : cases) {
        c.residentBeforeMiB = statusMiB("VmRSS:");
        resetPeakRss();
        timeRunner(runner, c.url);
        c.runnerPeakMiB = peakRssMiB();
        c.outcome = runner.transcription();
    }

    whisper_context* bare = whisper_init_from_file_with_params(modelPath.toUtf8().constData(),
                                                               whisper_context_default_params());
    if (!bare)
        return 1;
    for (Case& c : cases) {
        platform::Error error;
        std::optional<std::vector<float>> samples;
        for (int i = 0; i < iterations; ++i) { // the reading and conversion part of the runner's run
            const auto start = Clock::now();
            samples = transcription::loadAudioFile(c.url, error);
            c.load.push_back(seconds(Clock::now() - start));
        }
        if (!samples)
            return 1;
        whisper_full(bare, runnerParams(), samples->data(), int(samples->size())); // warm-up
        // Alternate the two ways so drift in clock speed hits both alike.
        for (int i = 0; i < iterations; ++i) {
            c.runner.push_back(timeRunner(runner, c.url));
            const auto start = Clock::now();
            const int result = whisper_full(bare, runnerParams(), samples->data(), int(samples->size()));
            c.bare.push_back(seconds(Clock::now() - start));
            if (result != 0)
                std::fprintf(stderr, "whisper_full returned %d\n", result);
            std::fprintf(stderr, "%ds iteration %d: runner %.3f s, bare %.3f s\n", c.seconds, i + 1,
                         c.runner.back(), c.bare.back());
        }
    }
    whisper_free(bare);

    std::printf("RSS: %.1f MiB before the model, %.1f MiB with it loaded\n", rssBeforeModel, rssWithModel);
    for (const Case& c : cases) {
        const double r = median(c.runner);
        const double b = median(c.bare);
        const double frameMiB = 12.0 * 16000 * c.seconds / (1024 * 1024);
        std::printf("%4d s audio: runner median %.3f s, bare whisper_full median %.3f s, ratio %.4f "
                    "(%+.2f%%); loading alone median %.1f ms\n",
                    c.seconds, r, b, r / b, (r / b - 1) * 100, median(c.load) * 1000);
        std::printf("            runner peak RSS %.1f MiB, %.1f MiB over the %.1f MiB resident before "
                    "the run (12 B/frame: %.1f MiB); outcome \"%s\"\n",
                    c.runnerPeakMiB, c.runnerPeakMiB - c.residentBeforeMiB, c.residentBeforeMiB,
                    frameMiB, qPrintable(c.outcome));
    }
    return 0;
}
