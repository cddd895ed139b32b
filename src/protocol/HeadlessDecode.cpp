// Kept apart from HeadlessHost.cpp: only hosts that use the real decoder link imaging.
#include "imaging/JpegFile.h"
#include "protocol/HeadlessHost.h"

PictureResult DecodePictureWithImaging(const std::string& path, int frameWidth,
                                       int frameHeight, MessageSink* boxes) {
  PictureResult result;
  result.ok = DecodePictureFile(path, frameWidth, frameHeight, boxes, result.width, result.height);
  return result;
}
