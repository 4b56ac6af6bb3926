#pragma once

#include <functional>
#include <memory>

namespace platform {

// Whether the program may record from the microphone. A Linux desktop has no
// per-application microphone permission, so the default layer asks the sound server:
// authorized when it offers an input, denied when it offers none (a monitor of an
// output is none) and when no server answers at all.
class MicrophoneAuthorization
{
public:
    // Raw status values; callers must also cope with values outside 0..3.
    enum Status : int {
        NotDetermined = 0,
        Restricted = 1,
        Denied = 2,
        Authorized = 3,
    };

    virtual ~MicrophoneAuthorization();

    // The current status, without asking the user. Call on the main thread.
    virtual int authorizationStatus() const = 0;

    // Asks for access and returns at once; `completion` later receives the answer
    // (true when granted) on a thread other than the caller's.
    virtual void requestAccess(std::function<void(bool granted)> completion) = 0;

    // The desktop's answer, through the sound server's list of inputs, asked afresh
    // on every call.
    static std::unique_ptr<MicrophoneAuthorization> createDefault();
};

} // namespace platform
