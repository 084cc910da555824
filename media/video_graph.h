#pragma once
// The live video graph: push source ("Video Packect Push Filter") -> decoder ("ffdshow
// video decoder") -> renderer ("Video Render Default") on a GStreamer pipeline whose
// renderer draws into a child widget of the player window. Everything but PushVideo runs
// on the window's thread; PushVideo runs on the video consumer thread while the graph is
// running.
#include <cstdint>
#include <memory>
#include <string>

class QWidget;

// Push interface of the push source filter, shared by the live and the recording graph.
class IPacketPush {
public:
    virtual ~IPacketPush() = default;
    // Copies one compressed frame (stream id 224) before returning; callable from any
    // thread. Returns 0 or more on success, negative on failure.
    virtual int32_t PushPacket(int32_t streamId, const unsigned char* data, int32_t length) = 0;
    // The same, with the frame's id carried on its buffer to the decoded picture (frame
    // tracing); see FramePts.
    virtual int32_t PushTracedPacket(int32_t streamId, const unsigned char* data, int32_t length,
                                     uint32_t frameId) {
        (void)frameId;
        return PushPacket(streamId, data, length);
    }
};

class VideoGraph {
public:
    VideoGraph();
    virtual ~VideoGraph();
    VideoGraph(const VideoGraph&) = delete;
    VideoGraph& operator=(const VideoGraph&) = delete;

    // 1 when a new graph was built and all control interfaces obtained, else 0.
    int BuildGraph();
    // Makes the renderer a child of owner, sized to owner's rectangle. Returns 0.
    int AttachVideoWindow(QWidget* owner);
    // Places the renderer inside its owner. Returns 0.
    int SetVideoPosition(int left, int top, int width, int height);
    int RunGraph();   // 1 or 0
    int StopGraph();  // 1 or 0
    // Pushes one frame while running; returns 1 and drops it otherwise.
    int32_t PushVideo(int32_t streamId, const unsigned char* data, int32_t length);
    // The same, tagging the frame with its id for frame tracing: the picture it becomes is
    // traced as "decoded" and "shown" under that id.
    int32_t PushVideo(int32_t streamId, const unsigned char* data, int32_t length,
                      uint32_t frameId);
    virtual void ReleaseAll();

    // The renderer's current picture as a packed device-independent bitmap
    // (BITMAPINFOHEADER, then the pixels). Two-call protocol: with image null, *size
    // receives the bytes needed; then with a buffer of *size bytes it is filled.
    // Returns 0 or more on success, negative when there is no picture.
    int32_t GetCurrentImage(int32_t* size, unsigned char* image);

    int GraphState() const;  // 0 stopped, 2 running

    // Writes the current picture to path as a JPEG file. 1 when a picture was obtained
    // (whether or not the file could be written), 0 when there was none.
    int32_t SaveSnapshot(const char* path);
    // The name the graph is registered under in the table of running graphs; empty
    // without a graph.
    std::string GraphName() const;
    // Frames the renderer has received since the graph was built.
    uint64_t FramesRendered() const;
    // Errors the graph's elements (the decoder among them) reported since it was built.
    uint32_t ErrorCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};
