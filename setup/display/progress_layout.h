// Geometry of the progress window's client area. Platform-free.
//
// Every length is given at 96 DPI and scaled to the DPI of the moment.
// Rectangles are half-open: left <= x < right, top <= y < bottom.
#pragma once

struct PixelRect {
  int left;
  int top;
  int right;
  int bottom;
};

struct ProgressLayout {
  int bandHeight;
  PixelRect background;
  PixelRect band;
  PixelRect separator;
  PixelRect titleRow;
  PixelRect buildLabel;
  PixelRect statusLine;
  PixelRect track;
};

// The layout for a client area of clientWidth × clientHeight at `dpi`. The
// band follows the banner's aspect at the full client width when its width
// is known, else it is 200 (scaled) high.
ProgressLayout ComputeProgressLayout(int clientWidth, int clientHeight, unsigned dpi,
                                     int bannerWidth, int bannerHeight);

// The proportional fill of the track for a percent of 0 or more; not clamped.
PixelRect ComputeProportionalFill(const PixelRect& track, int percent);

// The sliding segment for an animation offset, clipped to the track. False
// when nothing is to be drawn (also when the period is 0).
bool ComputeSlidingSegment(const PixelRect& track, int animationOffset, PixelRect* segment);

// The period of the sliding segment, in pixels: the track width and a quarter
// of it, for a client of that width.
int SlidingPeriodForClient(int clientWidth, unsigned dpi);

// The next animation offset: offset + step, folded back by whole periods
// before it could overflow, so that the segment keeps its place.
int AdvanceAnimationOffset(int offset, int step, int period);
