#include "core/PictureDecode.h"

#include "imaging/JpegFile.h"

PictureResult DecodePictureWithImaging(const std::string& path, int frameWidth,
                                       int frameHeight, MessageSink* boxes) {
  PictureResult result;
  result.ok = DecodePictureFile(path, frameWidth, frameHeight, boxes, result.width, result.height);
  return result;
}
