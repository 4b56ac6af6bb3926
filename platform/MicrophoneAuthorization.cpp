#include "MicrophoneAuthorization.h"

#include "SerialWorker.h"

#include <pulse/pulseaudio.h>

#include <chrono>

namespace platform {

MicrophoneAuthorization::~MicrophoneAuthorization() = default;

namespace {

// What the sound server says about its inputs, asked over a fresh connection each
// time, so inputs that come and go and a server that restarted are seen at once.
enum class Inputs { Unreachable, None, Some };

Inputs askSoundServer()
{
    using Clock = std::chrono::steady_clock;
    // A local server answers in milliseconds; a hung one must not hang the window.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);

    struct Query
    {
        bool listed = false;
        int microphones = 0;
    } query;

    pa_mainloop* const loop = pa_mainloop_new();
    pa_context* const context = pa_context_new(pa_mainloop_get_api(loop), "Quenlo");
    pa_operation* listing = nullptr;
    bool failed = !context || pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0;
    while (!failed && !query.listed) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (!PA_CONTEXT_IS_GOOD(state))
            break;
        if (state == PA_CONTEXT_READY && !listing) {
            listing = pa_context_get_source_info_list(
                context,
                [](pa_context*, const pa_source_info* source, int last, void* data) {
                    auto* query = static_cast<Query*>(data);
                    if (last != 0)
                        query->listed = true;
                    // A monitor replays an output: it hears no one.
                    else if (source && source->monitor_of_sink == PA_INVALID_INDEX)
                        ++query->microphones;
                },
                &query);
            if (!listing)
                break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (left <= 0 || pa_mainloop_prepare(loop, int(left)) < 0 || pa_mainloop_poll(loop) < 0
            || pa_mainloop_dispatch(loop) < 0)
            break;
    }
    if (listing) {
        // Given up on, it must not answer into this frame while the connection closes.
        if (!query.listed)
            pa_operation_cancel(listing);
        pa_operation_unref(listing);
    }
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_mainloop_free(loop);
    if (!query.listed)
        return Inputs::Unreachable;
    return query.microphones > 0 ? Inputs::Some : Inputs::None;
}

int statusFor(Inputs inputs)
{
    // No server offers no microphone either. A recording whose server went away is
    // still stopped: the view asks only before a start.
    return inputs == Inputs::Some ? MicrophoneAuthorization::Authorized : MicrophoneAuthorization::Denied;
}

class AudioInputAuthorization final : public MicrophoneAuthorization
{
public:
    int authorizationStatus() const override { return statusFor(askSoundServer()); }

    void requestAccess(std::function<void(bool granted)> completion) override
    {
        // Asked on the worker; it joins on destruction, so no answer outlives us.
        m_worker.post([completion = std::move(completion)] {
            completion(statusFor(askSoundServer()) == Authorized);
        });
    }

private:
    SerialWorker m_worker;
};

} // namespace

std::unique_ptr<MicrophoneAuthorization> MicrophoneAuthorization::createDefault()
{
    return std::make_unique<AudioInputAuthorization>();
}

} // namespace platform
