#pragma once
// The process-wide audio output: plays 8000 Hz mono signed 16-bit little-endian sample
// buffers on the default ALSA device with at most 32 buffers in flight per source. A
// thread of the output reports each finished buffer; the writer releases finished
// buffers at its next write. Several sources (player windows) play at once: their
// samples are mixed, so each plays at its own pace. A machine without a sound device
// plays nothing and loses nothing else.
#include <cstddef>
#include <cstdint>
#include <functional>

// Opens the device and the output's lock. Returns 0 or more on success, negative when
// no device could be opened (writes are then accepted and discarded; the first failure
// in the process says "no sound device: audio is discarded" on stderr). ALSA's own error
// lines are swallowed unless ZEVO_VERBOSE is set to anything but 0. Every open is
// matched by one CloseAudio; the device stays open until the last.
int OpenAudio();
// Copies byteCount bytes of samples and queues them; waits in 26 ms steps while 32
// buffers of the same source are pending, for about half a second: a device that takes
// no samples for that long counts as stalled, and its buffers are dropped (counted by
// AudioDroppedCount) until it takes samples again. Returns byteCount, or -1 on failure,
// a drop, without a device or when the device refused earlier samples.
int WriteAudio(const void* samples, int byteCount);
// The same for one of several sources (any key that tells them apart, e.g. the window).
int WriteAudioFrom(const void* source, const void* samples, int byteCount);
// Releases the most recently finished buffer.
void ReleaseDoneBuffer();
// Ends one user's open; the last lets playback finish, then closes the device. A device
// that takes nothing holds it about two seconds at most: what is queued is dropped and
// the device is closed once it lets go. Returns 0.
int CloseAudio();

// Buffers handed to the device and not yet released.
int AudioPendingCount();
// True while a device is open (false when none could be, and after the last close).
bool AudioHasDevice();
// Buffers dropped since the start because the device stalled.
uint64_t AudioDroppedCount();

// The two blocks every written buffer takes: the sample copy and its header.
enum class AudioBlock { Data, Header };
// Test seam for allocation failures: returns memory that std::free releases, or null.
// An empty function restores the default allocator.
using AudioAllocHook = std::function<void*(std::size_t bytes, AudioBlock block)>;
void SetAudioAllocHook(AudioAllocHook hook);
