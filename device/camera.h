#pragma once
// One camera: a GStreamer pipeline that encodes its video, or passes on a compressed
// file's or webcam's as it is (one Annex B access unit per frame), and cuts its audio
// into 40 ms blocks of 8000 Hz mono S16LE, shared by every viewer that watches it. The
// pipeline runs only while someone watches.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/config.h"
#include "device/webcam.h"

typedef struct _GstElement GstElement;
typedef struct _GstAppSink GstAppSink;
typedef struct _GstSample GstSample;

namespace zevo::camd {

// Audio as every camera delivers it, and as the viewer must open its output.
constexpr int kAudioRate = 8000;
constexpr int kAudioBlockSamples = 320;  // 40 ms

struct MediaFrame {
    bool video = false;
    bool key = false;  // video: decoding may begin here
    uint8_t camera = 0;
    uint32_t captureTick = 0;   // CLOCK_MONOTONIC in ms at capture, truncated to 32 bits
    uint64_t takenUs = 0;       // traced runs: CLOCK_MONOTONIC in us when taken from the source
    std::vector<uint8_t> data;  // video: one access unit; audio: 320 samples S16LE
};
using MediaFramePtr = std::shared_ptr<const MediaFrame>;

class MediaSink {
public:
    virtual ~MediaSink() = default;
    // Called on a streaming thread; must not block and must not call back into the
    // camera.
    virtual void OnMedia(const MediaFramePtr& frame) = 0;
};

class Camera {
public:
    // noVideo leaves the video branch out (audio-only fault).
    Camera(int index, const CameraConfig& config, bool noVideo);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Adds a viewer. Starts the pipeline for the first one; for later ones asks the
    // encoder for a key frame so the newcomer can begin at once. 0, or negative when
    // the pipeline would not start (the viewer stays subscribed; Poll retries).
    int Subscribe(MediaSink* sink);
    // After it returns, the sink gets nothing more. Stops the pipeline after the last.
    void Unsubscribe(MediaSink* sink);

    // Handles pipeline messages: logs errors, restarts a failed or finished pipeline
    // while viewers remain. Called regularly from the daemon's thread.
    void Poll();

    int Index() const { return mIndex; }
    const CameraConfig& Config() const { return mConfig; }
    bool HasVideo() const { return !mNoVideo; }

    // The gst-launch description of the pipeline (locations are set afterwards, so
    // paths need no quoting). A webcam format, when given, is sent as the device delivers
    // it.
    static std::string DescribePipeline(const CameraConfig& config, int index, bool video,
                                        bool audio, const std::optional<WebcamFormat>& webcam = {});

    // Frames delivered since start, for diagnostics and the benchmark.
    uint64_t VideoFrames() const { return mVideoFrames.load(); }

private:
    int StartLocked();
    void StopLocked();
    void RequestKeyFrame();
    friend struct CameraCallbacks;
    void HandleVideo(GstAppSink* sink);
    void HandleAudio(GstAppSink* sink);
    void Deliver(const MediaFramePtr& frame);
    // Capture time of a sample's buffer in nanoseconds on CLOCK_MONOTONIC.
    uint64_t CaptureTime(GstSample* sample) const;

    const int mIndex;
    const CameraConfig mConfig;
    const bool mNoVideo;

    std::mutex mStateLock;  // start, stop, restart
    GstElement* mPipeline = nullptr;
    GstElement* mVideoSink = nullptr;
    uint64_t mBaseTime = 0;
    int64_t mRetryAt = 0;  // monotonic ms; 0 = no retry pending

    std::mutex mSinkLock;  // the viewers; held while delivering
    std::vector<MediaSink*> mSinks;

    std::atomic<bool> mFinished{false};
    std::atomic<uint64_t> mVideoFrames{0};
    std::atomic<uint32_t> mKeyRequests{0};
    // Audio samples not yet making a whole block, and the capture time of the first.
    std::vector<int16_t> mAudioPending;
    // Passthrough: the stamp of the unit that went out last and its duration (stream
    // time, nanoseconds; none before the first), kept by the video streaming thread.
    uint64_t mPassStamp = 0;
    uint64_t mPassLast = 0;
    // Passthrough: when the last unit sent ends (CLOCK_MONOTONIC ns), so a file played
    // again starts one frame after it rather than at once.
    std::atomic<uint64_t> mPassEnd{0};
    // The webcam's own compressed format when it is passed through (chosen at start).
    std::optional<WebcamFormat> mWebcam;
    uint64_t mAudioPendingTime = 0;
};

}  // namespace zevo::camd
