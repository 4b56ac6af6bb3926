#include "MicrophoneAuthorization.h"

#include "SerialWorker.h"

#include <QAudioDevice>
#include <QMediaDevices>

namespace platform {

MicrophoneAuthorization::~MicrophoneAuthorization() = default;

namespace {

class AudioInputAuthorization final : public MicrophoneAuthorization
{
public:
    int authorizationStatus() const override
    {
        return QMediaDevices::audioInputs().isEmpty() ? Denied : Authorized;
    }

    void requestAccess(std::function<void(bool granted)> completion) override
    {
        // The device list is read here, on the caller's thread; only the answer
        // travels. The worker joins on destruction, so no answer outlives us.
        const bool granted = authorizationStatus() == Authorized;
        m_worker.post([completion = std::move(completion), granted] { completion(granted); });
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
