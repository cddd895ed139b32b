#pragma once
// The frame-buffer read request (56 SN 32 0C ...), which the transfer writes for every
// block without a queue entry of its own. Byte 1 is the serial number, applied on writing.
#include <cstdint>
#include <vector>

std::vector<uint8_t> FrameBufferRequest(uint8_t selector, uint32_t address, uint32_t length,
                                        uint16_t delay);
