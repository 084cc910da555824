#pragma once
// The run-time state of one player window's viewing and everything that runs on the
// worker threads: the command reader with the login, the media reader, the two
// consumers and their dispatchers, and the device option commands. The window side
// (PlayerDialog) owns one SessionCore through a shared pointer; every worker thread
// holds another reference, so the state outlives a window whose threads have not yet
// ended. Nothing here touches a window: events leave through SessionEvents, video
// through VideoPush, audio through AudioWrite, and time through a TickSource.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>

#include "media/adpcm.h"
#include "media/frame_queue.h"
#include "media/pacing.h"
#include "p2p/PPPP_API.h"
#include "platform/frame_trace.h"
#include "platform/tick_clock.h"
#include "session/packet.h"
#include "session/transport.h"

namespace zevo {

// Window messages of the player window.
constexpr uint32_t WM_DELAYED_START = 0x409;  // WM_USER+9
constexpr uint32_t WM_SESSION_EVENT = 0x40A;  // WM_USER+10

// wParam codes of WM_SESSION_EVENT.
constexpr uint32_t SESSION_EVENT_LOST = 1;
constexpr uint32_t SESSION_EVENT_RELAY_LIMIT = 2;
constexpr uint32_t SESSION_EVENT_READ_ERROR = 3;
constexpr uint32_t SESSION_EVENT_OVERSIZE = 4;

// Timer ids of the player window.
constexpr uint32_t TIMER_CLOCK = 100;
constexpr uint32_t TIMER_STATUS_MESSAGE = 101;
constexpr uint32_t TIMER_STATISTICS = 102;

// Receive buffers of the two readers; a prefix announcing more ends the reader.
constexpr int32_t kCommandBufferSize = 1024;
constexpr int32_t kMediaBufferSize = 0x20000;
// Transport read timeout of the media reader.
constexpr int32_t kMediaReadTimeoutMs = 500;
// Stream id of every pushed video frame.
constexpr int32_t kVideoStreamId = 224;

// Where worker threads post WM_SESSION_EVENT. Called on worker threads. serial names the
// session whose thread posts, so that the window can tell a late report of a session
// it has already closed from one of the session it runs now.
class SessionEvents {
public:
    virtual ~SessionEvents() = default;
    virtual void PostSessionEvent(uint32_t wParam, int32_t lParam, uint32_t serial) = 0;
};

// The push operation of a video graph (live or recording), called on the video consumer.
class VideoPush {
public:
    virtual ~VideoPush() = default;
    virtual int32_t PushVideo(int32_t streamId, const unsigned char* data, int32_t length) = 0;
    // The same, carrying the frame's id to the picture it becomes (frame tracing). A graph
    // that cannot carry it takes the frame as PushVideo does.
    virtual int32_t PushTracedVideo(int32_t streamId, const unsigned char* data, int32_t length,
                                    uint32_t frameId) {
        (void)frameId;
        return PushVideo(streamId, data, length);
    }
};

// The audio output's write, called on the audio consumer.
class AudioWrite {
public:
    virtual ~AudioWrite() = default;
    virtual int WriteAudio(const void* samples, int byteCount) = 0;
};

// Guards a sink that a worker thread calls while its owner may want to release it.
// The worker enters around each call; the owner closes the gate, waiting (bounded) until
// no call is under way, before it releases what the sink uses.
class SinkGate {
public:
    // Worker side: false when the gate is closed (the call must be skipped).
    bool Enter();
    void Leave();
    // Owner side: closes the gate and waits at most boundMs for calls under way to
    // return. True when none is under way any more (releasing is safe).
    bool Close(TickSource& ticks, uint32_t boundMs);
    void Open();
    bool IsOpen() const { return !mClosed.load(); }

private:
    std::atomic<int> mUsers{0};
    std::atomic<bool> mClosed{false};
};

class SessionCore : public std::enable_shared_from_this<SessionCore> {
public:
    SessionCore();
    ~SessionCore();
    SessionCore(const SessionCore&) = delete;
    SessionCore& operator=(const SessionCore&) = delete;

    // --- Seams, set by the owner before the first session -------------------------------
    void SetTransport(Transport* transport) { mTransport = transport; }
    Transport& GetTransport() { return *mTransport; }
    void SetTickSource(TickSource* ticks) { mTicks = ticks; }
    TickSource& Ticks() { return *mTicks; }
    // Attaches (or with null detaches) the event receiver; safe against concurrent posts.
    void SetEvents(SessionEvents* events);
    // The sinks stay alive with the state, so a worker that outlives its window never
    // calls into freed memory. Set before the first session; not changed while one runs.
    void SetLiveVideo(std::shared_ptr<VideoPush> push) { mLiveVideo = std::move(push); }
    void SetRecordVideo(std::shared_ptr<VideoPush> push) { mRecordVideo = std::move(push); }
    void SetAudio(std::shared_ptr<AudioWrite> audio) { mAudio = std::move(audio); }
    void PostSessionEvent(uint32_t wParam, int32_t lParam, uint32_t serial);
    // Starts a new session's numbering; the readers started afterwards post with it.
    uint32_t NextSessionSerial() { return mSessionSerial.fetch_add(1) + 1; }
    uint32_t SessionSerial() const { return mSessionSerial.load(); }

    // --- Worker threads -------------------------------------------------------------------
    enum class Worker { MediaReader, CommandReader, VideoConsumer, AudioConsumer };
    // Stores a fresh non-zero id in the worker's id member, then starts the thread, which
    // holds a reference to this state and the current session serial. False (id back to
    // 0) when no thread could be made.
    bool StartWorker(Worker worker);
    std::atomic<uint32_t>& WorkerId(Worker worker);
    // Clears the running flag and wakes the consumers out of their idle waits, so they
    // end at once.
    void StopRunning();
    // Waits at most boundMs until the given workers have ended; true when they have.
    bool WaitWorkersEnded(std::initializer_list<Worker> workers, uint32_t boundMs);

    static void CommandReaderThread(std::shared_ptr<SessionCore> core, uint32_t serial);
    static void MediaReaderThread(std::shared_ptr<SessionCore> core, uint32_t serial);
    static void VideoConsumerThread(std::shared_ptr<SessionCore> core, uint32_t serial);
    static void AudioConsumerThread(std::shared_ptr<SessionCore> core, uint32_t serial);

    // --- Command channel ------------------------------------------------------------------
    // Writes one packet on channel 0. Protected classes are refused (-1) until logged in.
    int32_t SendCommand(int32_t session, uint16_t code, const void* payload, int32_t length,
                        int packetClass);
    // size is what the read delivered of the body.
    void HandleLogin(const unsigned char* body, int32_t size);
    void HandleNotice(const unsigned char* body, int32_t size);
    // One pass of the command reader's loop (prefix, body, handling). False when the
    // reader must end. buffer holds kCommandBufferSize bytes.
    bool ReadCommandPacket(unsigned char* buffer, uint32_t serial);

    // --- Media channel ----------------------------------------------------------------
    int32_t ReadFull(const std::atomic<uint8_t>& running, unsigned char channel,
                     unsigned char* buffer, const int32_t& wanted, int32_t timeoutMs);
    // The rate window of one media reader.
    struct RateWindow {
        uint32_t bytes = 0;
        uint32_t start = 0;
    };
    // One pass of the media reader's loop; false when the reader must end. buffer holds
    // kMediaBufferSize bytes.
    bool ReadMediaPacket(unsigned char* buffer, RateWindow& rate, uint32_t serial);
    void UpdateBitRate(RateWindow& rate);

    // --- Consumers ----------------------------------------------------------------------
    // One pass of the video consumer: plays one queued packet or sleeps 8 ms.
    void VideoConsumerStep();
    // One pass of the audio consumer with its backlog threshold (initially 10).
    void AudioConsumerStep(int& threshold);
    void DispatchVideo(const unsigned char* packet, uint32_t length);
    void DispatchAudio(const unsigned char* packet, uint32_t length);
    void PlayPcmAudio(const PacketHead& head, const unsigned char* payload, uint32_t length);
    void PlayAdpcmAudio(const PacketHead& head, const unsigned char* payload, uint32_t length);

    // --- Device option commands -----------------------------------------------------------
    void ChgSelection(int32_t camera);
    int16_t GetEmailAlert();
    int16_t SetEmailAlert(bool enable);

    // --- State shared with the window, in the window's declaration order ------------------
    // The settings strings (DID, password, save folder) live with the window.
    int32_t mCamera = 0;
    std::atomic<int32_t> mSession{-1};
    std::atomic<uint32_t> mMediaReaderId{0};
    std::atomic<uint32_t> mCommandReaderId{0};
    std::atomic<uint32_t> mVideoThreadId{0};
    std::atomic<uint32_t> mAudioThreadId{0};
    std::atomic<int32_t> mLoggedIn{0};
    // Session key (the 32-byte key area's first 16 bytes) and the rolling XOR key byte.
    PacketProtection mProtection;
    char mPasswordText[128] = {};
    std::atomic<uint8_t> mFailureReported{0};
    std::atomic<uint8_t> mRunning{0};
    std::atomic<uint8_t> mLoginAnswered{0};
    PacingClock mVideoClock{};
    PacingClock mAudioClock{};
    // The ADPCM decoder's running state and packet count of this window's stream: with
    // several windows in one process each stream decodes on from its own last sample.
    AdpcmState mAdpcmState{0, 0};
    std::atomic<int32_t> mAdpcmPackets{0};
    FrameQueue* mVideoQueue = nullptr;
    FrameQueue* mAudioQueue = nullptr;
    SessionInfo mSessionInfo{};
    std::atomic<int32_t> mWaitFirstFrame{1};
    std::atomic<uint32_t> mFrameCount{0};
    std::atomic<float> mBitRate{0.0f};
    std::atomic<int32_t> mStreamChannel{0};
    std::atomic<int16_t> mEmailAlert{0};
    std::atomic<int32_t> mRecording{0};
    // Writes the audio output refused in this session (no device, a device that refused
    // or stalled).
    std::atomic<uint32_t> mAudioWriteFailures{0};
    time_t mRecordStart = 0;

    // Gates of the sinks the consumers call (see SinkGate).
    SinkGate mLiveGate;
    SinkGate mRecordGate;
    SinkGate mAudioGate;

private:
    Transport* mTransport;
    TickSource* mTicks;
    std::mutex mEventsLock;
    SessionEvents* mEvents = nullptr;
    std::atomic<uint32_t> mSessionSerial{0};
    std::shared_ptr<VideoPush> mLiveVideo;
    std::shared_ptr<VideoPush> mRecordVideo;
    std::shared_ptr<AudioWrite> mAudio;
};

}  // namespace zevo
