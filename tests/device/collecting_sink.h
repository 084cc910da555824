#pragma once
// What a camera hands to its viewers, kept for the test to look at.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "device/camera.h"

namespace zevo::camd::testing {

class CollectingSink : public MediaSink {
public:
    void OnMedia(const MediaFramePtr& frame) override {
        std::lock_guard<std::mutex> hold(mLock);
        (frame->video ? mVideo : mAudio).push_back(frame);
        mChanged.notify_all();
    }
    // Waits until pred holds (under the lock); false on timeout.
    bool WaitFor(const std::function<bool()>& pred, int timeoutMs, Camera* poll = nullptr) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock<std::mutex> hold(mLock);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            mChanged.wait_for(hold, std::chrono::milliseconds(100));
            if (poll) {
                hold.unlock();
                poll->Poll();
                hold.lock();
            }
        }
        return true;
    }
    std::vector<MediaFramePtr> Video() {
        std::lock_guard<std::mutex> hold(mLock);
        return mVideo;
    }
    std::vector<MediaFramePtr> Audio() {
        std::lock_guard<std::mutex> hold(mLock);
        return mAudio;
    }
    // For predicates of WaitFor, which run under the lock.
    const std::vector<MediaFramePtr>& VideoLocked() const { return mVideo; }
    size_t VideoCount() const { return mVideo.size(); }  // under the lock, as above
    size_t AudioCount() const { return mAudio.size(); }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<MediaFramePtr> mVideo;
    std::vector<MediaFramePtr> mAudio;
};

inline std::vector<std::vector<uint8_t>> Units(const std::vector<MediaFramePtr>& frames) {
    std::vector<std::vector<uint8_t>> units;
    for (const auto& f : frames) units.push_back(f->data);
    return units;
}

}  // namespace zevo::camd::testing
