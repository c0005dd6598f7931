// What a test hears from an RTCBridge: statuses, failures and shown pictures in order (main
// thread), the system output's pictures counted (engine thread) and handed to `output` when set.
#pragma once

#include "media/rtc/rtc_bridge.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace zarvo::testing {

class RecordingBridgeDelegate final : public RTCBridgeDelegate {
public:
    void editedPictureArrived(const PicturePtr& picture) override {
        ++delivered;
        latest = picture;
        if (keepPictures)
            frames.push_back(picture);
    }
    void localPictureArrived(const PicturePtr& picture) override {
        if (keepPictures)
            localFrames.push_back(picture);
    }
    void outputPictureArrived(const PicturePtr& picture) override {
        ++outputs;
        if (output)
            output(picture);
    }
    void videoStatusChanged(const std::string& text) override { statuses.push_back(text); }
    void videoFailed(const Error& error) override { failures.push_back(error); }

    // Every shown picture is kept only when asked: a real session delivers hundreds of 720p ones.
    bool keepPictures = false;
    int64_t delivered = 0;
    PicturePtr latest;
    std::vector<PicturePtr> frames, localFrames;
    std::vector<std::string> statuses;
    std::vector<Error> failures;
    std::atomic<int64_t> outputs{0};
    // Set before a session starts; runs on the engine's thread.
    std::function<void(const PicturePtr&)> output;
};

} // namespace zarvo::testing
