// The session's phase as the parts below the application core read it: the camera chooser and
// preview, the gallery and the presets. The application core implements it. Main thread only.
#pragma once

namespace zarvo {

class SessionView {
public:
    virtual ~SessionView() = default;
    // Running: joined or joining the billed session.
    virtual bool aiActive() const = 0;
    // Starting: checking the last session or creating this one.
    virtual bool aiBusy() const = 0;
    // Stopping or waiting for the settlement.
    virtual bool aiStopping() const = 0;
    // Starting, running or stopping: whatever would disturb a session waits.
    bool sessionBusy() const { return aiActive() || aiBusy() || aiStopping(); }
};

} // namespace zarvo
