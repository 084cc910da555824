#include "device/camera.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "device/log.h"
#include "device/wire.h"
#include "media/nal.h"
#include "platform/frame_trace.h"
#include "platform/tick_clock.h"

namespace zevo::camd {

namespace {

constexpr int64_t kRetryMs = 3000;
constexpr uint64_t kNsPerMs = 1000000;

const char* const kPatterns[] = {"smpte",      "ball",   "checkers-8", "circular",
                                 "zone-plate", "colors", "pinwheel",   "spokes"};

bool HaveElement(const char* name) {
    GstElementFactory* factory = gst_element_factory_find(name);
    if (factory == nullptr) return false;
    gst_object_unref(factory);
    return true;
}

bool EndsWith(const std::string& text, const char* tail) {
    const size_t n = std::strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// A raw byte stream rather than a container: the parser alone finds the access units.
bool IsAnnexBFile(const std::string& path) {
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const char* tail : {".h264", ".264", ".h265", ".265", ".hevc"}) {
        if (EndsWith(lower, tail)) return true;
    }
    return false;
}

// One access unit per buffer in Annex B with parameter sets before each key frame, as
// every source sends its video.
std::string ParsedUnits(VideoCodec codec) {
    const std::string media = CompressedMediaType(codec);
    const std::string parser = codec == VideoCodec::H264 ? "h264parse" : "h265parse";
    return " ! " + parser + " config-interval=-1 ! " + media +
           ",stream-format=byte-stream,alignment=au";
}

std::string VideoSink(bool sync) {
    return std::string(" ! appsink name=vsink max-buffers=60 enable-last-sample=false sync=") +
           (sync ? "true" : "false");
}

// The compressed file as it is, at the file's own pace (the sink syncs to the stamps).
std::string DescribePassthrough(const CameraConfig& c) {
    const std::string media = CompressedMediaType(c.codec);
    std::string d;
    const bool annexB = IsAnnexBFile(c.location);
    if (annexB) {
        // Read round and round: the parser stamps every unit from the rate, so the stamps
        // run on across the file's end without a gap or a new start.
        d = "multifilesrc name=vsrc loop=true caps=\"" + media +
            ",stream-format=byte-stream,framerate=" + std::to_string(c.fps) + "/1\"";
    } else {
        // Containers are demultiplexed; at their end the pipeline starts again (Poll).
        d = "filesrc name=vsrc ! parsebin";
    }
    return d + ParsedUnits(c.codec) + VideoSink(true);
}

// x264 lets one frame use the whole VBV buffer; keep that under the viewer's media
// buffer so a key frame is never too big to be received.
int VbvMilliseconds(int bitrateKbps) {
    int ms = int(int64_t(100000) * 8 / std::max(1, bitrateKbps));
    return std::clamp(ms, 50, 1000);
}

}  // namespace

struct CameraCallbacks {
    static GstFlowReturn Video(GstAppSink* sink, gpointer self) {
        static_cast<Camera*>(self)->HandleVideo(sink);
        return GST_FLOW_OK;
    }
    static GstFlowReturn Audio(GstAppSink* sink, gpointer self) {
        static_cast<Camera*>(self)->HandleAudio(sink);
        return GST_FLOW_OK;
    }
    static GstPadProbeReturn DecodingOrder(GstPad*, GstPadProbeInfo* info, gpointer self) {
        auto* camera = static_cast<Camera*>(self);
        GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
        // Containers often keep presentation stamps only, and with B-frames those go back
        // and forth in the order the units are sent. The units are stamped one frame
        // duration apart from the first one, in the order they go out.
        if (camera->mPassStamp == GST_CLOCK_TIME_NONE) {
            camera->mPassStamp =
                GST_BUFFER_PTS_IS_VALID(buffer) ? GST_BUFFER_PTS(buffer) : GST_BUFFER_DTS(buffer);
            if (camera->mPassStamp == GST_CLOCK_TIME_NONE) camera->mPassStamp = 0;
        } else {
            camera->mPassStamp += camera->mPassLast != GST_CLOCK_TIME_NONE
                                      ? camera->mPassLast
                                      : GST_SECOND / uint64_t(std::max(1, camera->mConfig.fps));
        }
        camera->mPassLast = GST_BUFFER_DURATION(buffer);
        GST_BUFFER_PTS(buffer) = camera->mPassStamp;
        GST_BUFFER_DTS(buffer) = camera->mPassStamp;
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
        return GST_PAD_PROBE_OK;
    }
    static void Eos(GstAppSink*, gpointer self) {
        static_cast<Camera*>(self)->mFinished.store(true);
    }
};

Camera::Camera(int index, const CameraConfig& config, bool noVideo)
    : mIndex(index), mConfig(config), mNoVideo(noVideo) {}

Camera::~Camera() {
    std::lock_guard<std::mutex> hold(mStateLock);
    StopLocked();
}

std::string Camera::DescribePipeline(const CameraConfig& c, int index, bool video, bool audio,
                                     const std::optional<WebcamFormat>& webcam) {
    std::string d;
    const bool liveVideo =
        c.source != VideoSourceKind::File && c.source != VideoSourceKind::Passthrough;
    if (video && c.source == VideoSourceKind::Passthrough) {
        d += DescribePassthrough(c);
    } else if (video && c.source == VideoSourceKind::Webcam && webcam) {
        // Live: the units leave as soon as the device hands them over, stamped by v4l2src
        // with their capture time.
        d += "v4l2src name=vsrc ! " + webcam->caps + ParsedUnits(c.codec) + VideoSink(false);
    } else if (video) {
        const std::string raw = "video/x-raw,format=I420,width=" + std::to_string(c.width) +
                                ",height=" + std::to_string(c.height) +
                                ",framerate=" + std::to_string(c.fps) + "/1";
        switch (c.source) {
            case VideoSourceKind::TestPattern: {
                std::string pattern =
                    c.pattern.empty() ? kPatterns[size_t(index) % std::size(kPatterns)] : c.pattern;
                d += "videotestsrc name=vsrc is-live=true pattern=" + pattern + " ! " + raw;
                break;
            }
            case VideoSourceKind::File:
                d += "filesrc name=vsrc ! decodebin ! queue ! videoconvert ! videoscale ! "
                     "videorate ! " +
                     raw;
                break;
            case VideoSourceKind::Passthrough:  // described above
            case VideoSourceKind::Webcam:
                d += "v4l2src name=vsrc ! decodebin ! videoconvert ! videoscale ! videorate ! " +
                     raw;
                break;
        }
        // The running time drawn into the picture shows at a glance that video flows.
        if (HaveElement("timeoverlay")) {
            d += " ! timeoverlay halignment=left valignment=top shaded-background=true "
                 "font-desc=\"Sans, 18\" text=\"CAM " +
                 std::to_string(index) + "\"";
        }
        const std::string encoder = c.codec == VideoCodec::H264 ? "x264enc" : "x265enc";
        d += " ! " + encoder + " name=venc tune=zerolatency speed-preset=ultrafast bitrate=" +
             std::to_string(c.bitrateKbps) + " key-int-max=" + std::to_string(c.keyInterval);
        if (c.codec == VideoCodec::H264) {
            d += " vbv-buf-capacity=" + std::to_string(VbvMilliseconds(c.bitrateKbps));
        }
        d += std::string(" ! ") + CompressedMediaType(c.codec) +
             ",stream-format=byte-stream,alignment=au" + ParsedUnits(c.codec) +
             VideoSink(!liveVideo);
    }
    if (audio && c.audio != AudioSourceKind::None) {
        if (!d.empty()) d += "  ";
        const std::string raw = "audio/x-raw,format=S16LE,layout=interleaved,channels=1,rate=" +
                                std::to_string(kAudioRate);
        if (c.audio == AudioSourceKind::Tone) {
            char level[32];
            snprintf(level, sizeof level, "%.4f", c.toneLevel);
            char freq[32];
            snprintf(freq, sizeof freq, "%.3f", c.toneFrequency);
            d += std::string("audiotestsrc name=asrc is-live=true wave=sine freq=") + freq +
                 " volume=" + level + " samplesperbuffer=" + std::to_string(kAudioBlockSamples) +
                 " ! " + raw + " ! appsink name=asink enable-last-sample=false sync=false";
        } else {
            d += "filesrc name=asrc ! decodebin ! queue ! audioconvert ! audioresample ! " + raw +
                 " ! appsink name=asink enable-last-sample=false sync=true";
        }
    }
    return d;
}

int Camera::StartLocked() {
    const bool audio = mConfig.audio != AudioSourceKind::None;
    mWebcam.reset();
    if (!mNoVideo && mConfig.source == VideoSourceKind::Webcam) {
        // Asked before building the pipeline: what the device offers decides its shape.
        std::string error;
        GstCaps* offered = ProbeWebcam(mConfig.location, error);
        if (offered == nullptr) {
            LOG_ERROR("camera %d: webcam %s: %s", mIndex, mConfig.location.c_str(), error.c_str());
            return -1;
        }
        mWebcam = ChooseWebcamFormat(offered, mConfig);
        gst_caps_unref(offered);
        if (!mWebcam) {
            LOG_INFO("camera %d: %s offers no %s, its video is encoded here", mIndex,
                     mConfig.location.c_str(), VideoCodecName(mConfig.codec));
        }
    }
    std::string description = DescribePipeline(mConfig, mIndex, !mNoVideo, audio, mWebcam);
    if (description.empty()) return 0;  // nothing to send at all
    LOG_DEBUG("camera %d: pipeline %s", mIndex, description.c_str());
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr || error != nullptr) {
        LOG_ERROR("camera %d: cannot build pipeline: %s", mIndex,
                  error ? error->message : "unknown error");
        if (error) g_error_free(error);
        if (pipeline) gst_object_unref(pipeline);
        return -1;
    }
    GstBin* bin = GST_BIN(pipeline);
    if (!mNoVideo && mConfig.source != VideoSourceKind::TestPattern) {
        GstElement* src = gst_bin_get_by_name(bin, "vsrc");
        std::string location = mConfig.location;
        if (mConfig.source == VideoSourceKind::Passthrough && IsAnnexBFile(location)) {
            // multifilesrc formats its location with the file index: a '%' is doubled.
            std::string escaped;
            for (char ch : location) escaped += ch == '%' ? std::string("%%") : std::string(1, ch);
            location = escaped;
        }
        const char* property = mConfig.source == VideoSourceKind::Webcam ? "device" : "location";
        g_object_set(src, property, location.c_str(), nullptr);
        gst_object_unref(src);
    }
    if (mConfig.audio == AudioSourceKind::File) {
        GstElement* src = gst_bin_get_by_name(bin, "asrc");
        g_object_set(src, "location", mConfig.audioLocation.c_str(), nullptr);
        gst_object_unref(src);
    }

    mFinished.store(false);
    mAudioPending.clear();
    GstElement* vsink = gst_bin_get_by_name(bin, "vsink");
    if (vsink != nullptr && mConfig.source == VideoSourceKind::Passthrough) {
        // Units go out in decoding order at their decoding time, and that is the time
        // they are stamped with: the sink and CaptureTime read the presentation stamp.
        GstPad* pad = gst_element_get_static_pad(vsink, "sink");
        mPassStamp = GST_CLOCK_TIME_NONE;
        mPassLast = GST_CLOCK_TIME_NONE;
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &CameraCallbacks::DecodingOrder, this,
                          nullptr);
        gst_object_unref(pad);
    }
    if (vsink != nullptr) {
        GstAppSinkCallbacks callbacks{};
        callbacks.eos = &CameraCallbacks::Eos;
        callbacks.new_sample = &CameraCallbacks::Video;
        gst_app_sink_set_callbacks(GST_APP_SINK(vsink), &callbacks, this, nullptr);
    }
    GstElement* asink = gst_bin_get_by_name(bin, "asink");
    if (asink != nullptr) {
        GstAppSinkCallbacks callbacks{};
        callbacks.eos = &CameraCallbacks::Eos;
        callbacks.new_sample = &CameraCallbacks::Audio;
        gst_app_sink_set_callbacks(GST_APP_SINK(asink), &callbacks, this, nullptr);
        gst_object_unref(asink);
    }

    // The system clock runs on CLOCK_MONOTONIC, so base time + PTS is the capture time on
    // the clock that monotonic stamps use. The base time is fixed here, before any
    // streaming thread exists, so those threads read it without a lock.
    GstClock* clock = gst_system_clock_obtain();
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
    gst_element_set_start_time(pipeline, GST_CLOCK_TIME_NONE);
    mBaseTime = gst_clock_get_time(clock);
    // The file's first unit has running time 0: it goes out when the last one ends.
    if (mConfig.source == VideoSourceKind::Passthrough) {
        mBaseTime = std::max<uint64_t>(mBaseTime, mPassEnd.load());
    }
    gst_element_set_base_time(pipeline, mBaseTime);
    gst_object_unref(clock);

    mPipeline = pipeline;
    mVideoSink = vsink;
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        LOG_ERROR("camera %d: pipeline refused to play", mIndex);
        StopLocked();
        return -1;
    }
    mRetryAt = 0;
    if (mNoVideo) {
        LOG_INFO("camera %d: started (audio only)", mIndex);
    } else if (mConfig.source == VideoSourceKind::Passthrough) {
        LOG_INFO("camera %d: started (%s passed through from %s)", mIndex,
                 VideoCodecName(mConfig.codec), mConfig.location.c_str());
    } else if (mWebcam) {
        LOG_INFO("camera %d: started (%s passed through from %s, %s)", mIndex,
                 VideoCodecName(mConfig.codec), mConfig.location.c_str(), mWebcam->caps.c_str());
    } else {
        LOG_INFO("camera %d: started (%s %dx%d %d fps %d kbit/s key every %d)", mIndex,
                 VideoCodecName(mConfig.codec), mConfig.width, mConfig.height, mConfig.fps,
                 mConfig.bitrateKbps, mConfig.keyInterval);
    }
    return 0;
}

void Camera::StopLocked() {
    if (mPipeline == nullptr) return;
    // Waits for the streaming threads; they take only mSinkLock, which is not held here.
    gst_element_set_state(mPipeline, GST_STATE_NULL);
    if (mVideoSink) gst_object_unref(mVideoSink);
    gst_object_unref(mPipeline);
    mVideoSink = nullptr;
    mPipeline = nullptr;
    LOG_INFO("camera %d: stopped", mIndex);
}

int Camera::Subscribe(MediaSink* sink) {
    std::lock_guard<std::mutex> hold(mStateLock);
    {
        std::lock_guard<std::mutex> sinks(mSinkLock);
        if (std::find(mSinks.begin(), mSinks.end(), sink) != mSinks.end()) return 0;
        mSinks.push_back(sink);
    }
    if (mPipeline == nullptr) {
        int rc = StartLocked();
        if (rc < 0) mRetryAt = int64_t(TickCount()) + kRetryMs;
        return rc;
    }
    RequestKeyFrame();
    return 0;
}

void Camera::Unsubscribe(MediaSink* sink) {
    std::lock_guard<std::mutex> hold(mStateLock);
    bool empty;
    {
        std::lock_guard<std::mutex> sinks(mSinkLock);
        mSinks.erase(std::remove(mSinks.begin(), mSinks.end(), sink), mSinks.end());
        empty = mSinks.empty();
    }
    if (empty) {
        StopLocked();
        mRetryAt = 0;
    }
}

void Camera::RequestKeyFrame() {
    if (mVideoSink == nullptr) return;
    GstEvent* event =
        gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, ++mKeyRequests);
    gst_element_send_event(mVideoSink, event);
}

void Camera::Poll() {
    std::lock_guard<std::mutex> hold(mStateLock);
    bool watched;
    {
        std::lock_guard<std::mutex> sinks(mSinkLock);
        watched = !mSinks.empty();
    }
    if (mPipeline == nullptr) {
        if (watched && mRetryAt != 0 && int32_t(TickCount() - uint32_t(mRetryAt)) >= 0) {
            if (StartLocked() < 0) mRetryAt = int64_t(TickCount()) + kRetryMs;
        }
        return;
    }
    GstBus* bus = gst_element_get_bus(mPipeline);
    bool failed = false;
    bool ended = mFinished.load();
    while (GstMessage* msg = gst_bus_pop_filtered(
               bus, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING | GST_MESSAGE_EOS))) {
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) {
            ended = true;
        } else {
            GError* error = nullptr;
            gchar* debug = nullptr;
            bool isError = GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR;
            if (isError) {
                gst_message_parse_error(msg, &error, &debug);
                failed = true;
            } else {
                gst_message_parse_warning(msg, &error, &debug);
            }
            if (isError) {
                LOG_ERROR("camera %d: %s (%s)", mIndex, error ? error->message : "?",
                          debug ? debug : "");
            } else {
                LOG_WARN("camera %d: %s", mIndex, error ? error->message : "?");
            }
            if (error) g_error_free(error);
            g_free(debug);
        }
        gst_message_unref(msg);
    }
    gst_object_unref(bus);
    if (failed) {
        StopLocked();
        mRetryAt = watched ? int64_t(TickCount()) + kRetryMs : 0;
    } else if (ended) {
        // A media file ran out: play it again from the start while someone watches.
        StopLocked();
        if (watched && StartLocked() < 0) mRetryAt = int64_t(TickCount()) + kRetryMs;
    }
}

uint64_t Camera::CaptureTime(GstSample* sample) const {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstSegment* segment = gst_sample_get_segment(sample);
    uint64_t pts = buffer ? GST_BUFFER_PTS(buffer) : GST_CLOCK_TIME_NONE;
    // A parsed byte stream may carry decoding stamps only.
    if (pts == GST_CLOCK_TIME_NONE && buffer != nullptr) pts = GST_BUFFER_DTS(buffer);
    // Encoders shift their output timestamps (x264enc by 1000 hours) and say so in the
    // segment; the running time undoes that.
    uint64_t running = pts == GST_CLOCK_TIME_NONE || segment == nullptr
                           ? GST_CLOCK_TIME_NONE
                           : gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts);
    if (running == GST_CLOCK_TIME_NONE) return uint64_t(TickCount()) * kNsPerMs;
    return mBaseTime + running;
}

void Camera::Deliver(const MediaFramePtr& frame) {
    std::lock_guard<std::mutex> hold(mSinkLock);
    for (MediaSink* sink : mSinks) sink->OnMedia(frame);
}

void Camera::HandleVideo(GstAppSink* sink) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) return;
    const uint64_t taken = FrameTraceOn() ? MonotonicUs() : 0;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        if (map.size + kPacketHeadSize > kMaxMediaBody) {
            // The viewer would drop the session on it; skip it and start again at a key
            // frame (each viewer waits for one after a gap).
            LOG_WARN("camera %d: dropped a %zu-byte frame, larger than a media packet holds",
                     mIndex, size_t(map.size));
            gst_buffer_unmap(buffer, &map);
            gst_sample_unref(sample);
            auto gap = std::make_shared<MediaFrame>();
            gap->video = true;
            gap->camera = uint8_t(mIndex);
            Deliver(gap);  // an empty video frame tells viewers a frame is missing
            RequestKeyFrame();
            return;
        }
        auto frame = std::make_shared<MediaFrame>();
        frame->video = true;
        frame->camera = uint8_t(mIndex);
        frame->data.assign(map.data, map.data + map.size);
        frame->key = IsKeyAccessUnit(frame->data.data(), frame->data.size(), mConfig.codec);
        const uint64_t capture = CaptureTime(sample);
        frame->captureTick = uint32_t(capture / kNsPerMs);
        frame->takenUs = taken;
        if (mConfig.source == VideoSourceKind::Passthrough) {
            const uint64_t duration = GST_BUFFER_DURATION_IS_VALID(buffer)
                                          ? GST_BUFFER_DURATION(buffer)
                                          : GST_SECOND / uint64_t(std::max(1, mConfig.fps));
            mPassEnd.store(capture + duration);
        }
        gst_buffer_unmap(buffer, &map);
        ++mVideoFrames;
        Deliver(frame);
    }
    gst_sample_unref(sample);
}

void Camera::HandleAudio(GstAppSink* sink) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) return;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        uint64_t start = CaptureTime(sample);
        if (mAudioPending.empty()) mAudioPendingTime = start;
        size_t count = map.size / 2;
        size_t old = mAudioPending.size();
        mAudioPending.resize(old + count);
        std::memcpy(mAudioPending.data() + old, map.data, count * 2);
        gst_buffer_unmap(buffer, &map);

        size_t used = 0;
        while (mAudioPending.size() - used >= size_t(kAudioBlockSamples)) {
            auto frame = std::make_shared<MediaFrame>();
            frame->camera = uint8_t(mIndex);
            frame->captureTick = uint32_t(mAudioPendingTime / kNsPerMs);
            const auto* bytes = reinterpret_cast<const uint8_t*>(mAudioPending.data() + used);
            frame->data.assign(bytes, bytes + kAudioBlockSamples * 2);
            used += kAudioBlockSamples;
            mAudioPendingTime += uint64_t(kAudioBlockSamples) * 1000000000ull / kAudioRate;
            Deliver(frame);
        }
        mAudioPending.erase(mAudioPending.begin(), mAudioPending.begin() + long(used));
    }
    gst_sample_unref(sample);
}

}  // namespace zevo::camd
