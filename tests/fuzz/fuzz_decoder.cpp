// The trace decoder fed arbitrary traffic: a script of received chunks, requests built from
// the command table's rows with arbitrary arguments, raw frames sent, and ends of the trace.
// The same traffic goes to a small decoding trace model whose lines are all formed at the
// end, so the ring dropping frames under their notes is covered too. Every frame told must
// lie in the traffic fed; nothing may crash or hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzInput.h"
#include "core/FrameDecoder.h"
#include "core/TraceModel.h"
#include "protocol/CommandTable.h"

namespace {

void Check(const std::vector<DecodedFrame>& frames, uint64_t end) {
  for (const DecodedFrame& f : frames)
    if (f.start >= end || f.length == 0 || f.text.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  CFrameDecoder decoder;
  CTraceModel model(CTraceModel::kMinLimitBytes);
  model.SetDecoding(true);
  size_t rows = 0;
  const CommandLayout* layouts = CommandLayouts(&rows);
  std::vector<DecodedFrame> out;
  std::vector<uint8_t> frame;
  uint64_t pos = 0;
  while (in.Left() > 0) {
    const uint8_t op = in.U8();
    out.clear();
    if (op == 0xFF) {
      decoder.Flush(out);
      Check(out, pos);
      continue;
    }
    frame.clear();
    const bool transmit = op >= 0x40;
    if (op >= 0x40 && op < 0x80) {  // a request of a known command, arguments from the input
      const CommandLayout& s = layouts[in.U8() % rows];
      frame = {kRequestByte, in.U8()};
      frame.insert(frame.end(), s.request, s.request + s.requestFixed);
    }
    const uint8_t* bytes;
    const size_t n = in.Take((op & 0x3F) + 1u, &bytes);
    frame.insert(frame.end(), bytes, bytes + n);
    if (frame.empty()) continue;
    // Now and then a large chunk, as a whole-picture read delivers.
    if (!transmit && (op & 0x3F) == 0x3F) frame.resize(frame.size() + in.U16() * 4u, 0x5A);
    decoder.Feed(transmit, frame.data(), frame.size(), pos, out);
    model.Append(transmit, frame.data(), frame.size(), 0);
    pos += frame.size();
    Check(out, pos);
  }
  TraceFormat format;
  format.decoded = true;
  const uint8_t bits = in.U8();
  format.ascii = bits & 1;
  format.shortBlocks = bits & 2;
  if (bits & 4) model.SetShortening(true);
  TraceFormat other = format;
  other.shortBlocks = !format.shortBlocks;
  const TraceExtent e = model.Extent(format), o = model.Extent(other);
  for (uint64_t line = e.first; line < e.end; line += 256) {
    (void)model.Lines(line, 256, format);
    // Each form's lines map into the other's.
    const uint64_t mapped = model.MapLine(line, format, other);
    if (mapped < o.first || mapped >= o.end) std::abort();
  }
  return 0;
}
