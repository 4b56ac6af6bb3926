#pragma once

#include "platform/Error.h"

#include <QUrl>

#include <functional>
#include <memory>

// The domain and codes of the errors a start can fail with.
inline constexpr auto kRecorderErrorDomain = "AudioRecorder";
enum RecorderErrorCode {
    NoAudioInput = 1,       // no input device
    FileNotCreated = 2,     // the recording file cannot be created
    RecordingRefused = 3,   // the input would not start
};

// What AudioRecorder needs from the machinery that captures sound into a file.
// Everything is called on the main thread.
class PlatformRecorder
{
public:
    virtual ~PlatformRecorder();

    // Starts capturing into the file; a refusal shows only as isRecording() false.
    // isRecording() also turns false when the input is lost or the file cannot take
    // more; what was captured until then stays in the file.
    virtual void record() = 0;
    // Ends the capture; the file holds every captured sample when this returns.
    virtual void stop() = 0;
    virtual bool isRecording() const = 0;
    // Takes a meter reading over the input since the previous one.
    virtual void updateMeters() = 0;
    // The last reading, in dB relative to full scale (0 at full scale, -160 for silence).
    virtual float averagePower(int channel) const = 0;
};

// Creates a recorder for the file at `url`, ready to record; on failure returns null
// and fills `error`, having changed nothing. The file at `url` is replaced only once
// record() has really started: a refused start leaves it as it was.
using PlatformRecorderFactory =
    std::function<std::unique_ptr<PlatformRecorder>(const QUrl& url, platform::Error& error)>;
