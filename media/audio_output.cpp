#include "media/audio_output.h"

#include <alsa/asoundlib.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/message_box.h"
#include "platform/tick_clock.h"

namespace {

constexpr int kMaxPending = 32;
constexpr uint32_t kFullWaitMs = 26;
constexpr unsigned kRate = 8000;
constexpr unsigned kChannels = 1;
// Enough ring buffer to ride out scheduling hiccups, small enough to stay live.
constexpr unsigned kLatencyUs = 200000;

// One written buffer: its header points at the sample copy.
struct AudioHeader {
    void* data;
    std::size_t bytes;
};

struct AudioOutput {
    std::mutex openLock;  // serialises OpenAudio and CloseAudio
    int users = 0;        // open calls not yet matched by a close
    std::atomic<snd_pcm_t*> device{nullptr};

    std::mutex lock;  // guards pendingCount, doneList, doneCount
    int pendingCount = 0;
    AudioHeader* doneList[kMaxPending] = {};
    int doneCount = 0;

    // Playback thread: writes queued buffers to the device and reports each one done.
    std::mutex queueLock;
    std::condition_variable queueReady;
    std::deque<AudioHeader*> queue;
    bool stopPlayer = false;
    std::thread player;

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
    if (out.doneCount < kMaxPending) {
        out.doneList[out.doneCount++] = header;
        return;
    }
    // Cannot happen while the writer keeps at most 32 pending; never leak or overflow.
    --out.pendingCount;
    FreeBuffer(header);
}

void PlayBuffer(snd_pcm_t* device, const AudioHeader* header) {
    const auto* samples = static_cast<const int16_t*>(header->data);
    snd_pcm_uframes_t left = header->bytes / (2 * kChannels);
    while (left > 0) {
        snd_pcm_sframes_t written = snd_pcm_writei(device, samples, left);
        if (written == -EAGAIN) {
            snd_pcm_wait(device, 100);
            continue;
        }
        if (written < 0) {
            // An underrun between packets is normal for a live stream: restart and retry.
            if (snd_pcm_recover(device, static_cast<int>(written), 1) < 0) return;
            continue;
        }
        samples += written * kChannels;
        left -= static_cast<snd_pcm_uframes_t>(written);
    }
}

void PlayerLoop(snd_pcm_t* device) {
    AudioOutput& out = Output();
    for (;;) {
        AudioHeader* header = nullptr;
        {
            std::unique_lock lock(out.queueLock);
            out.queueReady.wait(lock, [&] { return out.stopPlayer || !out.queue.empty(); });
            if (out.queue.empty()) return;
            header = out.queue.front();
            out.queue.pop_front();
        }
        PlayBuffer(device, header);
        NoteBufferDone(header);
    }
}

int DoneCount() {
    std::lock_guard lock(Output().lock);
    return Output().doneCount;
}

}  // namespace

int OpenAudio() {
    AudioOutput& out = Output();
    std::lock_guard openLock(out.openLock);
    ++out.users;
    if (out.device) return 0;
    snd_pcm_t* device = nullptr;
    // Non-blocking open: a busy device must not hang the window; playback blocks.
    if (snd_pcm_open(&device, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
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
    out.player = std::thread(PlayerLoop, device);
    out.device = device;
    return 0;
}

int WriteAudio(const void* samples, int byteCount) {
    if (!samples || byteCount <= 0) return -1;
    AudioOutput& out = Output();
    // Without a device the samples are dropped here; the stream and the session go on.
    if (!out.device) return byteCount;

    for (;;) {
        while (DoneCount() > 0) ReleaseDoneBuffer();
        {
            std::lock_guard lock(out.lock);
            if (out.pendingCount < kMaxPending) break;
        }
        zevo::SleepMs(kFullWaitMs);
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
    {
        // Counted before the player can report it done.
        std::lock_guard lock(out.lock);
        ++out.pendingCount;
    }
    {
        std::lock_guard lock(out.queueLock);
        out.queue.push_back(header);
    }
    out.queueReady.notify_one();
    return byteCount;
}

void ReleaseDoneBuffer() {
    AudioOutput& out = Output();
    AudioHeader* header = nullptr;
    {
        std::lock_guard lock(out.lock);
        if (out.doneCount <= 0) return;
        header = out.doneList[--out.doneCount];
        --out.pendingCount;
    }
    FreeBuffer(header);
}

int CloseAudio() {
    AudioOutput& out = Output();
    std::lock_guard openLock(out.openLock);
    // Several player windows share the output: it closes with the last of them.
    if (out.users > 0 && --out.users > 0) return 0;
    if (out.device) {
        for (;;) {
            int pending;
            {
                std::lock_guard lock(out.lock);
                pending = out.pendingCount;
            }
            if (pending <= 0) break;
            zevo::SleepMs(static_cast<uint32_t>(pending));
            while (DoneCount() > 0) ReleaseDoneBuffer();
        }
        {
            std::lock_guard lock(out.queueLock);
            out.stopPlayer = true;
        }
        out.queueReady.notify_one();
        if (out.player.joinable()) out.player.join();
        // What the device still holds plays to its end before it closes.
        snd_pcm_t* device = out.device.exchange(nullptr);
        snd_pcm_drain(device);
        snd_pcm_close(device);
    }
    std::lock_guard lock(out.lock);
    out.pendingCount = 0;
    return 0;
}

int AudioPendingCount() {
    std::lock_guard lock(Output().lock);
    return Output().pendingCount;
}

void SetAudioAllocHook(AudioAllocHook hook) {
    std::lock_guard lock(Output().hookLock);
    Output().allocHook = std::move(hook);
}
