#include "AudioInputRecorder.h"

#include "platform/Console.h"

#include <QMetaObject>

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>

namespace {
constexpr int connectTimeoutMs = 5000;
constexpr int bytesPerSample = 2;
constexpr uint32_t fragmentBytes = WavFileWriter::sampleRate / 20 * bytesPerSample; // 50 ms
} // namespace

void appendSamples(std::vector<qint16>& samples, QByteArray& carry, QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    if (!carry.isEmpty()) {
        const char pair[2] = {carry[0], bytes[0]};
        qint16 sample;
        std::memcpy(&sample, pair, sizeof sample);
        samples.push_back(sample);
        carry.clear();
        bytes = bytes.sliced(1);
    }
    const qsizetype whole = bytes.size() / bytesPerSample;
    if (whole > 0) {
        const size_t at = samples.size();
        samples.resize(at + size_t(whole));
        std::memcpy(samples.data() + at, bytes.data(), size_t(whole) * bytesPerSample);
    }
    if (bytes.size() % bytesPerSample != 0)
        carry = QByteArray(1, bytes.back());
}

// One connection to the sound server with its own thread. Everything here except the
// queue is touched with the thread's lock held.
struct AudioInputRecorder::Input
{
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    bool timedOut = false;
    bool closing = false;
    // What the stream's source is. Until it is known to be a real input, what the
    // stream reads is held back. On the monitor of an output nothing is taken: the
    // stream is moved to a real input if one is left (Moving), and otherwise the
    // input is lost (Monitor).
    enum class Source { Unchecked, Input, Moving, Monitor } source = Source::Unchecked;
    QByteArray held;
    QString monitorDescription; // of the monitor the server moved the stream to
    bool moveAsked = false;

    // Filled by the server's thread, emptied by the main thread.
    std::mutex mutex;
    QByteArray queued;
    bool lost = false;
    QString lostReason;
    std::atomic<bool> wakeQueued{false};
    std::function<void()> wakeMain;

    ~Input() { shutdown(); }

    // Ends the connection and joins the thread: nothing is queued after this.
    void shutdown()
    {
        if (!loop)
            return;
        pa_threaded_mainloop_lock(loop);
        closing = true;
        if (stream) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_moved_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            stream = nullptr;
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
    }

    // Takes what the thread queued, and whether the input was lost since the last take.
    QByteArray take(bool& wasLost, QString& why)
    {
        wakeQueued = false;
        std::lock_guard guard(mutex);
        wasLost = std::exchange(lost, false);
        why = lostReason;
        return std::exchange(queued, {});
    }

    QString reason() const { return QString::fromUtf8(pa_strerror(pa_context_errno(context))); }

    // Waits, lock held, until `done` holds or the time runs out.
    bool waitFor(const std::function<bool()>& done)
    {
        timedOut = false;
        timeval at{};
        pa_timeval_add(pa_gettimeofday(&at), pa_usec_t(connectTimeoutMs) * PA_USEC_PER_MSEC);
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        pa_time_event* timer = api->time_new(
            api, &at,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
                auto* input = static_cast<Input*>(self);
                input->timedOut = true;
                pa_threaded_mainloop_signal(input->loop, 0);
            },
            this);
        bool ok;
        while (!(ok = done()) && !timedOut)
            pa_threaded_mainloop_wait(loop);
        api->time_free(timer);
        return ok;
    }

    void markLost(const QString& why)
    {
        {
            std::lock_guard guard(mutex);
            if (lost)
                return;
            lost = true;
            lostReason = why;
        }
        wake();
    }

    void wake()
    {
        if (!wakeQueued.exchange(true) && wakeMain)
            wakeMain();
    }

    static void onContextState(pa_context* context, void* self)
    {
        auto* input = static_cast<Input*>(self);
        const pa_context_state_t state = pa_context_get_state(context);
        if (!PA_CONTEXT_IS_GOOD(state) && input->stream && !input->closing)
            input->markLost(input->reason());
        pa_threaded_mainloop_signal(input->loop, 0);
    }

    static void onStreamState(pa_stream* stream, void* self)
    {
        auto* input = static_cast<Input*>(self);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            input->checkSource();
        else if (!PA_STREAM_IS_GOOD(state) && !input->closing)
            input->markLost(input->reason());
        pa_threaded_mainloop_signal(input->loop, 0);
    }

    // The server moves a stream whose source went away to its fallback, which may be
    // the monitor of an output: the recording would then hear the speakers.
    static void onMoved(pa_stream*, void* self) { static_cast<Input*>(self)->checkSource(); }

    // Asks what the stream's source is; reads wait in `held` until the answer.
    void checkSource()
    {
        if (source == Source::Monitor)
            return;
        source = Source::Unchecked;
        pa_operation* query = pa_context_get_source_info_by_index(context, pa_stream_get_device_index(stream),
                                                                  &Input::onSourceInfo, this);
        if (query)
            pa_operation_unref(query);
        else if (!closing)
            markLost(reason());
    }

    static void onSourceInfo(pa_context*, const pa_source_info* source, int last, void* self)
    {
        auto* input = static_cast<Input*>(self);
        // An answer about a source the stream has already left is followed by another.
        if (last != 0 || !source || !input->stream || source->index != pa_stream_get_device_index(input->stream))
            return;
        if (source->monitor_of_sink != PA_INVALID_INDEX) {
            input->held.clear();
            input->monitorDescription = QString::fromUtf8(source->description);
            if (input->closing) {
                input->source = Source::Monitor;
            } else {
                // Where the default input is a monitor, the server sends an unplugged
                // microphone's stream there; another real input may still be listed.
                input->source = Source::Moving;
                input->moveAsked = false;
                input->moveToRealInput();
            }
        } else {
            input->source = Source::Input;
            input->queue(std::exchange(input->held, {}));
        }
        pa_threaded_mainloop_signal(input->loop, 0);
    }

    // Lists the sources and moves the stream to the first real input; the move is
    // checked again when the server reports it. Lost when there is none.
    void moveToRealInput()
    {
        pa_operation* listing = pa_context_get_source_info_list(
            context,
            [](pa_context* context, const pa_source_info* source, int last, void* self) {
                auto* input = static_cast<Input*>(self);
                if (input->source != Source::Moving || input->moveAsked || !input->stream)
                    return;
                if (last == 0) {
                    if (source && source->monitor_of_sink == PA_INVALID_INDEX) {
                        // The first real input. Until the server reports the move, what
                        // the stream reads is still the monitor's and is dropped.
                        input->moveAsked = true;
                        pa_operation* move = pa_context_move_source_output_by_index(
                            context, pa_stream_get_index(input->stream), source->index,
                            [](pa_context*, int success, void* self) {
                                if (!success)
                                    static_cast<Input*>(self)->loseToMonitor();
                            },
                            input);
                        if (move)
                            pa_operation_unref(move);
                        else
                            input->loseToMonitor();
                    }
                    return;
                }
                input->loseToMonitor(); // listed to the end: no real input is left
            },
            this);
        if (listing)
            pa_operation_unref(listing);
        else
            loseToMonitor();
    }

    void loseToMonitor()
    {
        source = Source::Monitor;
        held.clear();
        if (!closing)
            markLost(QStringLiteral("the sound server moved the recording to \"%1\", which replays an output")
                         .arg(monitorDescription));
        pa_threaded_mainloop_signal(loop, 0);
    }

    void queue(const QByteArray& bytes)
    {
        if (bytes.isEmpty())
            return;
        {
            std::lock_guard guard(mutex);
            queued.append(bytes);
        }
        wake();
    }

    static void onRead(pa_stream* stream, size_t, void* self)
    {
        auto* input = static_cast<Input*>(self);
        const void* data = nullptr;
        size_t size = 0;
        QByteArray read;
        while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &size) < 0 || size == 0)
                break;
            // A hole in the input becomes silence of its length, so time stays true.
            if (data)
                read.append(static_cast<const char*>(data), qsizetype(size));
            else
                read.append(qsizetype(size), '\0');
            pa_stream_drop(stream);
        }
        if (input->source == Source::Input)
            input->queue(read);
        else if (input->source == Source::Unchecked)
            input->held.append(read);
    }

    // Connects to the server that PULSE_SERVER or the desktop names; no autospawn, so
    // a missing server fails at once.
    bool connect(QString& why)
    {
        loop = pa_threaded_mainloop_new();
        if (!loop || pa_threaded_mainloop_start(loop) < 0) {
            why = QStringLiteral("cannot start the sound server thread");
            return false;
        }
        pa_threaded_mainloop_lock(loop);
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Quenlo");
        bool ok = false;
        if (context) {
            pa_context_set_state_callback(context, &Input::onContextState, this);
            if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0)
                ok = waitFor([this] {
                    const pa_context_state_t state = pa_context_get_state(context);
                    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
                }) && pa_context_get_state(context) == PA_CONTEXT_READY;
            why = timedOut ? QStringLiteral("the sound server does not answer") : reason();
        } else {
            why = QStringLiteral("cannot create a sound server connection");
        }
        pa_threaded_mainloop_unlock(loop);
        return ok;
    }

    // Waits, lock held, for a query to finish; its callbacks signal the loop.
    bool finish(pa_operation* query)
    {
        if (!query)
            return false;
        const bool done = waitFor([query] { return pa_operation_get_state(query) != PA_OPERATION_RUNNING; });
        // Its callback holds the caller's data: a late answer must not reach it.
        if (!done)
            pa_operation_cancel(query);
        pa_operation_unref(query);
        return done;
    }

    // The source to record: none named (the server's default, which then follows the
    // desktop's choice) unless the default is the monitor of an output, in which case
    // the first real input. False when the server offers no real input at all.
    bool chooseSource(QByteArray& device)
    {
        struct Sources
        {
            Input* input;
            QByteArray defaultName;
            bool defaultIsInput = false;
            QByteArray firstInput;
        } sources{this, {}, false, {}};
        const bool asked = finish(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* server, void* data) {
                auto* sources = static_cast<Sources*>(data);
                if (server && server->default_source_name)
                    sources->defaultName = server->default_source_name;
                pa_threaded_mainloop_signal(sources->input->loop, 0);
            },
            &sources));
        const bool listed = asked && finish(pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* source, int last, void* data) {
                auto* sources = static_cast<Sources*>(data);
                if (last == 0 && source && source->monitor_of_sink == PA_INVALID_INDEX) {
                    if (sources->firstInput.isEmpty())
                        sources->firstInput = source->name;
                    if (sources->defaultName == source->name)
                        sources->defaultIsInput = true;
                }
                pa_threaded_mainloop_signal(sources->input->loop, 0);
            },
            &sources));
        if (!listed || sources.firstInput.isEmpty())
            return false;
        device = sources.defaultIsInput ? QByteArray() : sources.firstInput;
        return true;
    }

    // Starts reading a real input; false when the server refuses or offers none.
    bool start()
    {
        pa_threaded_mainloop_lock(loop);
        const pa_sample_spec spec{PA_SAMPLE_S16LE, uint32_t(WavFileWriter::sampleRate), 1};
        QByteArray device;
        stream = chooseSource(device) ? pa_stream_new(context, "Recording", &spec, nullptr) : nullptr;
        bool ok = false;
        if (stream) {
            pa_stream_set_state_callback(stream, &Input::onStreamState, this);
            pa_stream_set_read_callback(stream, &Input::onRead, this);
            pa_stream_set_moved_callback(stream, &Input::onMoved, this);
            pa_buffer_attr attributes{};
            attributes.maxlength = uint32_t(-1);
            attributes.tlength = attributes.prebuf = attributes.minreq = uint32_t(-1);
            attributes.fragsize = fragmentBytes;
            closing = true; // a refusal while connecting is not a lost input
            if (pa_stream_connect_record(stream, device.isEmpty() ? nullptr : device.constData(), &attributes,
                                         PA_STREAM_ADJUST_LATENCY)
                >= 0)
                ok = waitFor([this] {
                    return source != Source::Unchecked || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream));
                }) && source == Source::Input && pa_stream_get_state(stream) == PA_STREAM_READY;
            closing = false;
        }
        pa_threaded_mainloop_unlock(loop);
        return ok;
    }
};

std::unique_ptr<PlatformRecorder> AudioInputRecorder::create(const QUrl& url, platform::Error& error)
{
    auto input = std::make_unique<Input>();
    QString why;
    if (!input->connect(why)) {
        error = {QString::fromLatin1(kRecorderErrorDomain), NoAudioInput,
                 QStringLiteral("No audio input is available: ") + why};
        return nullptr;
    }
    const QString path = url.toLocalFile();
    std::unique_ptr<WavFileWriter> file = WavFileWriter::create(path, error);
    if (!file)
        return nullptr;
    return std::unique_ptr<PlatformRecorder>(new AudioInputRecorder(std::move(input), std::move(file), path));
}

AudioInputRecorder::AudioInputRecorder(std::unique_ptr<Input> input, std::unique_ptr<WavFileWriter> file, QString path)
    : m_input(std::move(input))
    , m_file(std::move(file))
    , m_path(std::move(path))
{
    m_input->wakeMain = [this] {
        QMetaObject::invokeMethod(&m_mainThread, [this] { drain(); }, Qt::QueuedConnection);
    };
}

AudioInputRecorder::~AudioInputRecorder()
{
    // Whatever reached us is the user's speech: keep it even when nobody stopped.
    stop();
}

void AudioInputRecorder::record()
{
    if (m_recording || !m_input || !m_file)
        return;
    platform::Error error;
    // Only a recording that really runs replaces the previous file.
    if (!m_input->start() || !m_file->publish(error)) {
        closeInput();
        return;
    }
    m_recording = true;
}

void AudioInputRecorder::stop()
{
    closeInput();
    m_recording = false;
    m_file.reset(); // finishes the file, or drops it if it never started; no second recording
}

void AudioInputRecorder::closeInput()
{
    if (!m_input)
        return;
    m_input->shutdown();
    bool lost;
    QString why;
    const QByteArray rest = m_input->take(lost, why);
    m_input.reset();
    write(rest);
}

bool AudioInputRecorder::isRecording() const
{
    return m_recording;
}

void AudioInputRecorder::updateMeters()
{
    drain();
    m_averagePower = m_meter.take();
}

float AudioInputRecorder::averagePower(int /*channel: the recording is mono*/) const
{
    return m_averagePower;
}

void AudioInputRecorder::drain()
{
    if (!m_input)
        return;
    bool lost = false;
    QString why;
    if (!write(m_input->take(lost, why))) {
        // Stop reading at once; what reached the disk stays, and the header says so.
        m_recording = false;
        closeInput();
    } else if (lost && m_recording) {
        platform::printLine(QStringLiteral("Audio input lost: %1").arg(why));
        m_recording = false;
        closeInput();
    }
}

bool AudioInputRecorder::write(const QByteArray& bytes)
{
    if (!m_file || !m_file->writeError().isEmpty())
        return false;
    m_samples.clear();
    appendSamples(m_samples, m_carry, bytes);
    if (m_samples.empty())
        return true;
    m_meter.add(m_samples.data(), qsizetype(m_samples.size()));
    if (m_file->write(m_samples.data(), qsizetype(m_samples.size())))
        return true;
    platform::printLine(QStringLiteral("Cannot write the recording file %1: %2").arg(m_path, m_file->writeError()));
    return false;
}
