#include "session/session_core.h"

#include <system_error>
#if defined(__linux__)
#include <pthread.h>
#endif
#include <thread>

namespace zevo {

bool SinkGate::Enter() {
    // Count first, then look: with the owner's store-then-count in Close, one of the two
    // sides always sees the other (sequentially consistent atomics).
    mUsers.fetch_add(1);
    if (mClosed.load()) {
        mUsers.fetch_sub(1);
        return false;
    }
    return true;
}

void SinkGate::Leave() {
    mUsers.fetch_sub(1);
}

bool SinkGate::Close(TickSource& ticks, uint32_t boundMs) {
    mClosed.store(true);
    uint32_t waited = 0;
    while (mUsers.load() > 0) {
        if (waited >= boundMs) return false;
        ticks.Sleep(1);
        ++waited;
    }
    return true;
}

void SinkGate::Open() {
    mClosed.store(false);
}

SessionCore::SessionCore() : mTransport(&NullTransport()), mTicks(&SystemTickSource()) {
    mVideoQueue = CreateFrameQueue();
    mAudioQueue = CreateFrameQueue();
}

SessionCore::~SessionCore() {
    // Only reached once no worker holds the state any more; the window destroys the
    // queues itself when its workers ended in time.
    DestroyFrameQueue(mVideoQueue);
    DestroyFrameQueue(mAudioQueue);
}

void SessionCore::SetEvents(SessionEvents* events) {
    std::lock_guard lock(mEventsLock);
    mEvents = events;
}

void SessionCore::PostSessionEvent(uint32_t wParam, int32_t lParam, uint32_t serial) {
    std::lock_guard lock(mEventsLock);
    if (mEvents) mEvents->PostSessionEvent(wParam, lParam, serial);
}

std::atomic<uint32_t>& SessionCore::WorkerId(Worker worker) {
    switch (worker) {
        case Worker::MediaReader:
            return mMediaReaderId;
        case Worker::CommandReader:
            return mCommandReaderId;
        case Worker::VideoConsumer:
            return mVideoThreadId;
        case Worker::AudioConsumer:
            break;
    }
    return mAudioThreadId;
}

namespace {

void SetThreadName(const char* name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

uint32_t NextThreadId() {
    static std::atomic<uint32_t> next{1};
    uint32_t id = next.fetch_add(1);
    if (id == 0) id = next.fetch_add(1);  // 0 means "not running"
    return id;
}

}  // namespace

bool SessionCore::StartWorker(Worker worker) {
    // The id is stored before the thread runs: a thread that ends at once must find its
    // id already set, or the 0 it writes would be overwritten by the creator afterwards.
    std::atomic<uint32_t>& id = WorkerId(worker);
    id.store(NextThreadId());
    void (*routine)(std::shared_ptr<SessionCore>, uint32_t) = nullptr;
    const char* name = "";
    switch (worker) {
        case Worker::MediaReader:
            routine = &MediaReaderThread;
            name = "zevo-media-rd";
            break;
        case Worker::CommandReader:
            routine = &CommandReaderThread;
            name = "zevo-cmd-rd";
            break;
        case Worker::VideoConsumer:
            routine = &VideoConsumerThread;
            name = "zevo-video";
            break;
        case Worker::AudioConsumer:
            routine = &AudioConsumerThread;
            name = "zevo-audio";
            break;
    }
    try {
        std::thread([routine, name, core = shared_from_this(), serial = mSessionSerial.load()] {
            // Named so that a worker left running shows in a process listing.
            SetThreadName(name);
            routine(core, serial);
        }).detach();
    } catch (const std::system_error&) {
        id.store(0);
        return false;
    }
    return true;
}

bool SessionCore::WaitWorkersEnded(std::initializer_list<Worker> workers, uint32_t boundMs) {
    uint32_t waited = 0;
    for (;;) {
        bool ended = true;
        for (Worker w : workers) {
            if (WorkerId(w).load() != 0) ended = false;
        }
        if (ended) return true;
        if (waited >= boundMs) return false;
        mTicks->Sleep(2);
        waited += 2;
    }
}

}  // namespace zevo
