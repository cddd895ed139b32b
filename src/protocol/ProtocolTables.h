#pragma once
// The code tables of the camera protocol: baud codes, image-size codes, block sizes.
#include <cstdint>

struct BaudCode {
  unsigned baud;
  uint8_t high;
  uint8_t low;
  uint8_t interfaceByte;  // IF of the CMD_SET_BAUD template
  bool temporary;         // also allowed as a temporary rate
};

inline constexpr BaudCode kBaudCodes[8] = {
    {9600, 0xAE, 0xC8, 0x04, true},    {19200, 0x56, 0xE4, 0x04, true},
    {38400, 0x2A, 0xF2, 0x04, true},   {57600, 0x1C, 0x4C, 0x04, true},
    {115200, 0x0D, 0xA6, 0x04, true},  {230400, 0xEE, 0xA1, 0x05, false},
    {460800, 0xEE, 0xA2, 0x05, false}, {921600, 0xEE, 0xA3, 0x05, false},
};

// Size code of image-size index k (1..14) is kImageSizeCodes[k - 1].
inline constexpr uint8_t kImageSizeCodes[14] = {0x22, 0x11, 0x00, 0x33, 0x44, 0x55, 0x66,
                                                0x77, 0x88, 0x99, 0xAA, 0xAB, 0xAC, 0xAD};

inline constexpr uint8_t kCompressionFirst = 0x36;  // "Compress Rate" item 0
inline constexpr uint8_t kCompressionLast = 0x8F;

// Bytes per frame-buffer read for each "Transmit:" index. Index 0 reads the whole picture
// in one request; 512 is only its counting unit. "8196Byte once" really reads 8192.
inline constexpr unsigned kTransmitBlockSizes[6] = {512, 512, 2048, 4096, 8192, 10240};

inline unsigned BlockSizeForTransmitMode(int mode) {
  return (mode >= 0 && mode < 6) ? kTransmitBlockSizes[mode] : 512;
}

// 0-based list position of a size code read back from the camera, or -1.
inline int ImageSizePositionForCode(uint8_t code) {
  for (int i = 0; i < 14; ++i)
    if (kImageSizeCodes[i] == code) return i;
  return -1;
}

// 0-based position among the eight baud codes, or -1.
inline int BaudPositionForCode(uint8_t high, uint8_t low) {
  for (int i = 0; i < 8; ++i)
    if (kBaudCodes[i].high == high && kBaudCodes[i].low == low) return i;
  return -1;
}
