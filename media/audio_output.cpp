#include "media/audio_output.h"

#include <alsa/asoundlib.h>

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "platform/tick_clock.h"

namespace {

constexpr int kMaxPending = 32;
constexpr uint32_t kFullWaitMs = 26;
// A device that stopped taking samples may hold a writer this long; then its buffers
// are dropped (and counted) until the device takes samples again.
constexpr uint32_t kStallBoundMs = 520;
// How long a close waits for what is queued to play, and then for the player to end.
constexpr uint32_t kCloseBoundMs = 1000;
constexpr unsigned kRate = 8000;
constexpr unsigned kChannels = 1;
// Enough ring buffer to ride out scheduling hiccups, small enough to stay live.
constexpr unsigned kLatencyUs = 200000;
// Samples mixed and written at a time: one 40 ms packet of the device.
constexpr std::size_t kMixSamples = 320;
// How long the mixer waits for a source that played lately, and how long a source
// counts as playing after its last samples.
constexpr std::chrono::milliseconds kMixWait{60};
constexpr std::chrono::milliseconds kRecentSource{500};

// One written buffer: its header points at the sample copy.
struct AudioHeader {
    void* data;
    std::size_t bytes;
    const void* source;
};

// What one source has queued for the player: buffers in order, and how far into the
// first one playback has come.
struct SourceQueue {
    std::deque<AudioHeader*> buffers;
    std::size_t played = 0;
};

// What a close and its player agree on: a player stuck in a stalled device is left
// behind (abandoned), and then counts nothing of the output's any more.
struct PlayerState {
    std::mutex lock;
    bool abandoned = false;
};

struct AudioOutput {
    std::mutex openLock;  // serialises OpenAudio and CloseAudio
    int users = 0;        // open calls not yet matched by a close
    std::atomic<snd_pcm_t*> device{nullptr};

    std::mutex lock;  // guards pendingCount, sourcePending, doneList
    int pendingCount = 0;
    std::map<const void*, int> sourcePending;
    std::vector<AudioHeader*> doneList;

    // Playback thread: mixes the sources' queued buffers, writes them to the device and
    // reports each buffer done once played.
    std::mutex queueLock;
    std::condition_variable queueReady;
    std::map<const void*, SourceQueue> queues;
    bool stopPlayer = false;
    std::thread player;
    std::shared_ptr<PlayerState> playerState;

    std::atomic<bool> stalled{false};
    std::atomic<bool> rejected{false};  // the device refused samples it was given
    std::atomic<uint64_t> dropped{0};

    std::mutex hookLock;
    AudioAllocHook allocHook;
};

// Never destroyed: a playback thread may outlive static destruction at exit.
AudioOutput& Output() {
    static AudioOutput* output = new AudioOutput;
    return *output;
}

void* Allocate(std::size_t bytes, AudioBlock block) {
    AudioAllocHook hook;
    {
        std::lock_guard lock(Output().hookLock);
        hook = Output().allocHook;
    }
    if (hook) {
        void* memory = hook(bytes, block);
        if (memory && block == AudioBlock::Header) std::memset(memory, 0, bytes);
        return memory;
    }
    return block == AudioBlock::Header ? std::calloc(1, bytes) : std::malloc(bytes);
}

void FreeBuffer(AudioHeader* header) {
    std::free(header->data);
    std::free(header);
}

void ShowAllocFailure() {
    const QString text = QStringLiteral("GlobalAlloc failed.");
    const QString caption = QStringLiteral(" \n 0.7.0\n: Error Message . . .");
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        zevo::ShowMessageBox(nullptr, text, caption, zevo::MessageIcon::Warning);
        return;
    }
    // Boxes belong to the window's thread; the writer does not wait for the answer.
    QMetaObject::invokeMethod(
        app,
        [text, caption] {
            zevo::ShowMessageBox(nullptr, text, caption, zevo::MessageIcon::Warning);
        },
        Qt::QueuedConnection);
}

// The completion notice: records a finished buffer and does nothing else.
void NoteBufferDone(AudioHeader* header) {
    AudioOutput& out = Output();
    std::lock_guard lock(out.lock);
    out.doneList.push_back(header);
}

// False when the device refused the samples and could not be recovered.
bool PlaySamples(snd_pcm_t* device, const int16_t* samples, std::size_t count) {
    snd_pcm_uframes_t left = count / kChannels;
    while (left > 0) {
        snd_pcm_sframes_t written = snd_pcm_writei(device, samples, left);
        if (written == -EAGAIN) {
            snd_pcm_wait(device, 100);
            continue;
        }
        if (written < 0) {
            // An underrun between packets is normal for a live stream: restart and retry.
            if (snd_pcm_recover(device, static_cast<int>(written), 1) < 0) return false;
            continue;
        }
        samples += written * kChannels;
        left -= static_cast<snd_pcm_uframes_t>(written);
    }
    return true;
}

// Takes up to kMixSamples from every source that has samples, summed (clipped) into
// mix; the buffers played to their end are moved to done. Returns the samples taken:
// as many as the source with the fewest left in its current buffer has, so no source
// is ever padded with silence in the middle of its stream.
std::size_t MixNext(std::map<const void*, SourceQueue>& queues, int32_t* mix,
                    std::vector<AudioHeader*>& done) {
    std::size_t count = kMixSamples;
    for (auto& [source, q] : queues) {
        if (q.buffers.empty()) continue;
        const AudioHeader* front = q.buffers.front();
        count = std::min(count, (front->bytes - q.played) / 2);
    }
    std::fill(mix, mix + kMixSamples, 0);
    for (auto it = queues.begin(); it != queues.end();) {
        SourceQueue& q = it->second;
        if (!q.buffers.empty()) {
            AudioHeader* front = q.buffers.front();
            const auto* samples = static_cast<const uint8_t*>(front->data) + q.played;
            for (std::size_t i = 0; i < count; ++i) {
                int16_t v;
                std::memcpy(&v, samples + 2 * i, 2);
                mix[i] += v;
            }
            q.played += 2 * count;
            // An odd trailing byte is no sample: the buffer is done with its last one.
            if (front->bytes - q.played < 2) {
                done.push_back(front);
                q.buffers.pop_front();
                q.played = 0;
            }
        }
        it = q.buffers.empty() ? queues.erase(it) : std::next(it);
    }
    return count;
}

void PlayerLoop(snd_pcm_t* device, std::shared_ptr<PlayerState> state) {
    AudioOutput& out = Output();
    int32_t mix[kMixSamples];
    int16_t samples[kMixSamples];
    std::vector<AudioHeader*> done;
    // Sources that played lately: the mixer waits a little for each of them, so streams
    // that arrive a few milliseconds apart sound together rather than one after the
    // other (a device that takes samples faster than real time would never wait).
    std::map<const void*, std::chrono::steady_clock::time_point> recent;
    for (;;) {
        std::size_t count = 0;
        {
            std::unique_lock lock(out.queueLock);
            out.queueReady.wait(lock, [&] { return out.stopPlayer || !out.queues.empty(); });
            if (out.queues.empty()) return;
            const auto now = std::chrono::steady_clock::now();
            for (auto it = recent.begin(); it != recent.end();) {
                it = now - it->second > kRecentSource ? recent.erase(it) : std::next(it);
            }
            auto allHaveData = [&] {
                return out.stopPlayer ||
                       std::all_of(recent.begin(), recent.end(),
                                   [&](const auto& r) { return out.queues.count(r.first) != 0; });
            };
            out.queueReady.wait_for(lock, kMixWait, allHaveData);
            for (const auto& [source, q] : out.queues) recent[source] = now;
            count = MixNext(out.queues, mix, done);
        }
        for (std::size_t i = 0; i < count; ++i) {
            samples[i] = static_cast<int16_t>(std::clamp<int32_t>(mix[i], -32768, 32767));
        }
        if (!PlaySamples(device, samples, count)) out.rejected = true;
        {
            // Under the state's lock: a close either frees these with the done list or
            // has given up on this thread, which then frees them itself.
            std::lock_guard stateLock(state->lock);
            if (state->abandoned) {
                for (AudioHeader* header : done) FreeBuffer(header);
                return;
            }
            for (AudioHeader* header : done) NoteBufferDone(header);
        }
        done.clear();
    }
}

int DoneCount() {
    std::lock_guard lock(Output().lock);
    return static_cast<int>(Output().doneList.size());
}

bool SourceFull(const void* source) {
    AudioOutput& out = Output();
    std::lock_guard lock(out.lock);
    auto it = out.sourcePending.find(source);
    return it != out.sourcePending.end() && it->second >= kMaxPending;
}

}  // namespace

namespace {

std::atomic<bool> gToldNoDevice{false};

// ALSA prints a line for every configuration step that fails on a machine with no card;
// one line of ours says all a user needs.
void QuietLibraryError(const char*, int, const char*, int, const char*, ...) {}

bool Verbose() {
    const char* value = std::getenv("ZEVO_VERBOSE");
    return value && *value && std::strcmp(value, "0") != 0;
}

}  // namespace

int OpenAudio() {
    AudioOutput& out = Output();
    std::lock_guard openLock(out.openLock);
    ++out.users;
    if (out.device) return 0;
    snd_pcm_t* device = nullptr;
    // Non-blocking open: a busy device must not hang the window; playback blocks.
    if (!Verbose()) snd_lib_error_set_handler(QuietLibraryError);
    if (snd_pcm_open(&device, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        if (!gToldNoDevice.exchange(true)) {
            std::fputs("no sound device: audio is discarded\n", stderr);
        }
        return -1;
    }
    if (snd_pcm_nonblock(device, 0) < 0 ||
        snd_pcm_set_params(device, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, kChannels,
                           kRate, 1, kLatencyUs) < 0) {
        snd_pcm_close(device);
        return -1;
    }
    {
        std::lock_guard lock(out.queueLock);
        out.stopPlayer = false;
    }
    out.playerState = std::make_shared<PlayerState>();
    out.stalled = false;
    out.rejected = false;
    out.player = std::thread(PlayerLoop, device, out.playerState);
    out.device = device;
    return 0;
}

int WriteAudio(const void* samples, int byteCount) {
    return WriteAudioFrom(nullptr, samples, byteCount);
}

int WriteAudioFrom(const void* source, const void* samples, int byteCount) {
    if (!samples || byteCount <= 0) return -1;
    AudioOutput& out = Output();
    // Without a device, or with one that refuses samples, they are dropped here; the
    // stream and the session go on, and the caller learns that nothing plays.
    if (!out.device || out.rejected.load()) return -1;

    uint32_t waited = 0;
    for (;;) {
        while (DoneCount() > 0) ReleaseDoneBuffer();
        if (!SourceFull(source)) {
            out.stalled = false;
            break;
        }
        // Once stalled, one step of waiting: the device may take samples again.
        if ((out.stalled.load() && waited > 0) || waited >= kStallBoundMs) {
            out.stalled = true;
            out.dropped.fetch_add(1);
            return -1;
        }
        zevo::SleepMs(kFullWaitMs);
        waited += kFullWaitMs;
    }

    void* data = Allocate(static_cast<std::size_t>(byteCount), AudioBlock::Data);
    if (!data) {
        ShowAllocFailure();
        return -1;
    }
    std::memcpy(data, samples, static_cast<std::size_t>(byteCount));
    auto* header = static_cast<AudioHeader*>(Allocate(sizeof(AudioHeader), AudioBlock::Header));
    if (!header) {
        std::free(data);
        return -1;
    }
    header->data = data;
    header->bytes = static_cast<std::size_t>(byteCount);
    header->source = source;
    {
        // Counted before the player can report it done.
        std::lock_guard lock(out.lock);
        ++out.pendingCount;
        ++out.sourcePending[source];
    }
    {
        std::lock_guard lock(out.queueLock);
        out.queues[source].buffers.push_back(header);
    }
    out.queueReady.notify_one();
    return byteCount;
}

void ReleaseDoneBuffer() {
    AudioOutput& out = Output();
    AudioHeader* header = nullptr;
    {
        std::lock_guard lock(out.lock);
        if (out.doneList.empty()) return;
        header = out.doneList.back();
        out.doneList.pop_back();
        --out.pendingCount;
        auto it = out.sourcePending.find(header->source);
        if (it != out.sourcePending.end() && --it->second <= 0) out.sourcePending.erase(it);
    }
    FreeBuffer(header);
}

int CloseAudio() {
    AudioOutput& out = Output();
    std::lock_guard openLock(out.openLock);
    // Several player windows share the output: it closes with the last of them.
    if (out.users > 0 && --out.users > 0) return 0;
    if (out.device) {
        uint32_t waited = 0;
        for (;;) {
            int pending;
            {
                std::lock_guard lock(out.lock);
                pending = out.pendingCount;
            }
            if (pending <= 0 || waited >= kCloseBoundMs) break;
            zevo::SleepMs(static_cast<uint32_t>(pending));
            waited += static_cast<uint32_t>(pending);
            while (DoneCount() > 0) ReleaseDoneBuffer();
        }
        std::vector<AudioHeader*> unplayed;
        {
            std::lock_guard lock(out.queueLock);
            out.stopPlayer = true;
            // What a stalled device did not take in time is not played.
            for (auto& [source, q] : out.queues) {
                unplayed.insert(unplayed.end(), q.buffers.begin(), q.buffers.end());
            }
            out.queues.clear();
        }
        for (AudioHeader* header : unplayed) FreeBuffer(header);
        out.queueReady.notify_one();
        // The player ends once it has nothing queued, and the device closes after it; a
        // stalled device may hold either (a file plugin even flushes at close), so both
        // happen on a closer of their own that this waits for within the bound.
        struct Closing {
            std::mutex lock;
            std::condition_variable signal;
            bool done = false;
        };
        auto closing = std::make_shared<Closing>();
        snd_pcm_t* device = out.device.exchange(nullptr);
        // What the device still holds plays to its end, unless it stopped taking samples.
        const bool drain = waited < kCloseBoundMs;
        std::thread closer([player = std::move(out.player), device, drain, closing]() mutable {
            player.join();
            if (drain) snd_pcm_drain(device);
            snd_pcm_close(device);
            std::lock_guard lock(closing->lock);
            closing->done = true;
            closing->signal.notify_all();
        });
        bool closed;
        {
            std::unique_lock lock(closing->lock);
            closed = closing->signal.wait_for(lock, std::chrono::milliseconds(kCloseBoundMs),
                                              [&] { return closing->done; });
        }
        if (closed) {
            closer.join();
        } else {
            std::lock_guard stateLock(out.playerState->lock);
            out.playerState->abandoned = true;
            closer.detach();
        }
        out.playerState.reset();
    }
    std::vector<AudioHeader*> done;
    {
        std::lock_guard lock(out.lock);
        done.swap(out.doneList);
        out.pendingCount = 0;
        out.sourcePending.clear();
    }
    for (AudioHeader* header : done) FreeBuffer(header);
    return 0;
}

uint64_t AudioDroppedCount() {
    return Output().dropped.load();
}

bool AudioHasDevice() {
    return Output().device.load() != nullptr;
}

int AudioPendingCount() {
    std::lock_guard lock(Output().lock);
    return Output().pendingCount;
}

void SetAudioAllocHook(AudioAllocHook hook) {
    std::lock_guard lock(Output().hookLock);
    Output().allocHook = std::move(hook);
}
