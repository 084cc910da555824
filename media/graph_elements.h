#pragma once
// Element creation shared by the graphs' filter kinds, behind the test seam that makes an
// element look uninstalled.
#include <gst/gst.h>

namespace zevo {

// False when the test seam refuses creating classId.
bool CreationAllowed(const char* classId);
bool FactoryInstalled(const char* name);
// The factory's element, floating; null when it is missing or refused.
GstElement* MakeElement(const char* factory);

// The video decoder filter: a bin that plugs parser and decoder for the codec the stream
// announces.
GstElement* MakeVideoDecoder();

}  // namespace zevo
