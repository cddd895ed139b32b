#pragma once
// Figures of a picture of a flat field (a diffuser, an integrating sphere, a grey card filling
// the view): how much light the corners lose (shading) and the pixels that stand out from
// their neighbourhood (defects: hot, dead or stuck). Best on an NV12 frame's own luma, where
// JPEG has not smeared the defects. A picture that is not a flat field is not measured.
#include <cstdint>
#include <string>

struct LumaPlane;

struct FlatFieldFigures {
  bool measured = false;
  std::string failure;        // why not: "not a flat field", "picture too small"
  double noise = 0;           // levels, one standard deviation, of the plane measured
  double centre = 0;          // mean level of the centre
  // The darkest corner's mean as a share of the centre's, in percent (100: no fall-off).
  bool shadingMeasured = false;
  std::string shadingFailure;  // "too dark" and the like, when the field is flat but unfit
  double shading = 0;
  std::string darkestCorner;  // "tl", "tr", "bl" or "br"
  // A defect stands out from the median of the eight pixels two steps around it by more than
  // `threshold` levels: kDefectNoiseMultiple times the noise, at least kDefectMinLevels.
  double threshold = 0;
  // A 3 x 3 group is a defect of nine pixels when its trimmed mean stands out from the median
  // of the pixels three and four steps around it by more than `clusterThreshold`:
  // kDefectNoiseMultiple times that difference's noise (kClusterNoiseShare of a pixel's), at
  // least kDefectMinLevels. It finds groups whose pixels are each lost in the noise.
  double clusterThreshold = 0;
  int defects = 0;
  int hot = 0;                // brighter than their neighbourhood
  int dead = 0;               // darker
  int stuck = 0;              // of those, at level 0 or 255
  int largestCluster = 0;     // pixels of the largest group of touching defects
};

// Defects stand out by this many times the noise (with the neighbourhood median's own noise,
// pure noise passes it about once in 50 million pixels) and by at least kDefectMinLevels, so a
// noiseless frame's rounding is not one.
constexpr double kDefectNoiseMultiple = 6.0;
constexpr double kDefectMinLevels = 4.0;
// The noise of a 3 x 3 group's trimmed mean (its middle five) less the median of the 56
// pixels round it, as a share of a pixel's.
constexpr double kClusterNoiseShare = 0.394;
// Shading is measured on a centre of at least this level; below it the corners' share is noise.
constexpr double kShadingMinLevel = 16.0;
// The side of the squares the shading is read on, as a share of the picture's sides.
constexpr int kShadingBoxDivisor = 20;

FlatFieldFigures MeasureFlatField(const LumaPlane& luma);
