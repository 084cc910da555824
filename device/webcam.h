#pragma once
// A webcam that delivers compressed video in the camera's codec (as UVC H.264 cameras
// do) is sent as it delivers it: no decoding, no encoding, at the camera's own rate.
// Any other webcam is decoded and encoded like the other sources.
#include <optional>
#include <string>

#include "device/config.h"

typedef struct _GstCaps GstCaps;

namespace zevo::camd {

// "video/x-h264" or "video/x-h265".
const char* CompressedMediaType(VideoCodec codec);

struct WebcamFormat {
    int width = 0;  // 0 where the device does not say
    int height = 0;
    int fpsNum = 0;
    int fpsDen = 1;
    std::string caps;  // what the pipeline asks of the device, e.g. "video/x-h264,width=..."
};

// Among the formats a device offers, the one in the camera's codec nearest the configured
// size, then rate; none when the device offers nothing in that codec.
std::optional<WebcamFormat> ChooseWebcamFormat(const GstCaps* offered, const CameraConfig& config);

// The formats the V4L2 device offers (v4l2src's caps once it has opened the device), or
// null with the reason in error when it cannot be opened.
GstCaps* ProbeWebcam(const std::string& device, std::string& error);

}  // namespace zevo::camd
