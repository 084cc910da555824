#pragma once
// The process-wide audio output: plays 8000 Hz mono signed 16-bit little-endian sample
// buffers on the default ALSA device with at most 32 buffers in flight. A thread of the
// output reports each finished buffer; the writer releases finished buffers at its next
// write. A machine without a sound device plays nothing and loses nothing else.

// Opens the device and the output's lock. Returns 0 or more on success, negative when
// no device could be opened (writes are then accepted and discarded).
int OpenAudio();
// Copies byteCount bytes of samples and queues them; waits in 26 ms steps while 32
// buffers are pending. Returns byteCount, or -1 on failure.
int WriteAudio(const void* samples, int byteCount);
// Releases the most recently finished buffer.
void ReleaseDoneBuffer();
// Lets playback finish, then closes the device. Returns 0.
int CloseAudio();
