#pragma once
// The decode every window-free host does for ShowPicture: what the picture view would show,
// without showing it.
#include <string>

#include "common/MessageSink.h"
#include "protocol/CameraHost.h"

// Decodes a finished picture file (JPEG, or NV12 of frameWidth x frameHeight); the
// decoder's boxes go to `boxes`.
PictureResult DecodePictureWithImaging(const std::string& path, int frameWidth,
                                       int frameHeight, MessageSink* boxes);
