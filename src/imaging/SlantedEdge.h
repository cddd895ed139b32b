#pragma once
// MTF50 of a lens and sensor measured on slanted edges in a picture: the edge is located to a
// fraction of a pixel, its profile gathered four times finer than the pixel pitch, then
// differentiated and transformed; the frequency where the response falls to half is the
// figure. By default the edges of dark squares tilted a few degrees are found in the centre
// and the four corner regions of the picture (the usual chart layout); given a region, the
// one edge inside it is measured. Window-free.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct EdgeRect { int x = 0, y = 0, width = 0, height = 0; };
struct EdgeFigure {
  std::string region;    // "centre", "tl", "tr", "bl", "br" or "roi"
  bool measured = false;
  std::string failure;   // why not measured
  double mtf50 = 0;      // cycles per pixel
  double angleDegrees = 0;
  double contrast = 0;
  EdgeRect rect;         // where the edge was measured
};
struct MtfFigures {
  bool measured = false; // at least one edge measured
  std::vector<EdgeFigure> edges;
  double minimum = 0;    // lowest mtf50 of the measured edges
  std::string failure;   // when none was measured
};
// luma: 8 bits a pixel, `stride` bytes a row, top row first.
MtfFigures MeasureSlantedEdges(const uint8_t* luma, int width, int height, size_t stride,
                               const std::optional<EdgeRect>& roi = std::nullopt);
