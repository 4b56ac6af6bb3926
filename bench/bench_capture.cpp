// Records from the default input for a while (60 s unless given) and reports what a
// press of Start waits for, and the recorder's own cost: CPU seconds per recorded
// second and resident memory, early and late, to show that memory does not grow with
// the recording. Run it inside
// scripts/test-session.sh so that speech is played into the virtual microphone.
#include "capture/AudioRecorder.h"
#include "platform/Console.h"
#include "platform/MicrophoneAuthorization.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0.0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0.0;
}

double recordedSeconds(const QString& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return 0.0;
    sf_close(file);
    return info.samplerate > 0 ? double(info.frames) / double(info.samplerate) : 0.0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 60;

    // Keep the user's documents out of it.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral(".config"))));
    platform::setLineSinkForTesting([](const QString&) {});

    // Speech on a loop, in child processes whose CPU is not ours.
    QProcess speech;
    QProcess player;
    const bool speak = !QStandardPaths::findExecutable(QStringLiteral("espeak-ng")).isEmpty()
                       && !QStandardPaths::findExecutable(QStringLiteral("paplay")).isEmpty();
    const auto say = [&] {
        speech.setStandardOutputProcess(&player);
        speech.start(QStringLiteral("espeak-ng"),
                     {QStringLiteral("--stdout"),
                      QStringLiteral("Quenlo records what you say and writes it down for you, on this machine.")});
        player.start(QStringLiteral("paplay"), {});
    };
    QObject::connect(&player, &QProcess::finished, &app, [&] { say(); });

    // What a press of Start waits for on the main thread: the microphone check and the
    // start itself, each with a connection of its own to the sound server.
    const auto authorization = platform::MicrophoneAuthorization::createDefault();
    QElapsedTimer pressClock;
    pressClock.start();
    constexpr int checks = 20;
    for (int i = 0; i < checks; ++i)
        authorization->authorizationStatus();
    const double checkMs = double(pressClock.nsecsElapsed()) / 1e6 / checks;

    AudioRecorder recorder;
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    recorder.startRecording();
    std::printf("press of Start: microphone check %.2f ms, start %.2f ms\n", checkMs,
                double(clock.nsecsElapsed()) / 1e6);
    if (!recorder.isRecording()) {
        std::fprintf(stderr, "bench_capture: %s\n", qPrintable(recorder.status()));
        return 1;
    }
    if (speak)
        say();

    // Sampled once a second: the kernel's own high-water mark is updated too lazily.
    double residentEarly = 0.0;
    double residentPeak = 0.0;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &app, [&] {
        const double resident = residentMiB();
        residentPeak = std::max(residentPeak, resident);
        if (clock.elapsed() < 6000)
            residentEarly = resident;
    });
    sampler.start(1000);
    QTimer::singleShot(seconds * 1000, &app, [&] {
        QObject::disconnect(&player, nullptr, &app, nullptr);
        recorder.stopRecording();
        app.quit();
    });
    app.exec();

    const double cpu = cpuSeconds() - cpuBefore;
    const double elapsed = double(clock.elapsed()) / 1000.0;
    const double recorded = recordedSeconds(recorder.audioFileURL().toLocalFile());
    std::printf("recorded %.2f s in %.2f s%s\n", recorded, elapsed,
                speak ? " with speech playing" : " (no espeak-ng/paplay: silence)");
    if (recorded <= 0.0)
        return 1;
    std::printf("CPU: %.3f s, %.5f CPU-s per recorded s (%.3f%% of one core)\n", cpu, cpu / recorded,
                100.0 * cpu / recorded);
    const double residentEnd = residentMiB();
    std::printf("resident memory: %.1f MiB after 5 s, %.1f MiB at the end, peak %.1f MiB\n", residentEarly,
                residentEnd, std::max(residentPeak, residentEnd));
    player.kill();
    speech.kill();
    player.waitForFinished();
    speech.waitForFinished();
    return 0;
}
