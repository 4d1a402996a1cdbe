#include "display/progress_layout.h"

#include <limits.h>

#include "shell/dpi_scale.h"

namespace {

enum {
  kFallbackBandHeight = 200,
  kSideMargin = 28,
  kBandToTitle = 24,
  kTitleRowHeight = 30,
  kTitleToBuildLabel = 9,
  kTitleToStatus = 34,
  kStatusHeight = 20,
  kStatusToTrack = 32,
  kTrackHeight = 4,
  kTrackMinHeight = 3,  // not scaled
};

PixelRect Rect(int left, int top, int right, int bottom) {
  PixelRect rect = {left, top, right, bottom};
  return rect;
}

int SegmentLength(int trackWidth) { return trackWidth / 4; }

}  // namespace

ProgressLayout ComputeProgressLayout(int clientWidth, int clientHeight, unsigned dpi,
                                     int bannerWidth, int bannerHeight) {
  ProgressLayout layout;
  const int W = clientWidth;
  layout.bandHeight = bannerWidth != 0 ? MulDivRounded(W, bannerHeight, bannerWidth)
                                       : ScaleForDpi(kFallbackBandHeight, dpi);
  const int Hb = layout.bandHeight;
  layout.background = Rect(0, 0, W, clientHeight);
  layout.band = Rect(0, 0, W, Hb);
  layout.separator = Rect(0, Hb, W, Hb + 1);

  const int L = ScaleForDpi(kSideMargin, dpi);
  const int R = W - ScaleForDpi(kSideMargin, dpi);
  const int T = Hb + ScaleForDpi(kBandToTitle, dpi);
  const int rowBottom = T + ScaleForDpi(kTitleRowHeight, dpi);
  layout.titleRow = Rect(L, T, R, rowBottom);
  layout.buildLabel = Rect(L, T + ScaleForDpi(kTitleToBuildLabel, dpi), R, rowBottom);

  const int U = T + ScaleForDpi(kTitleToStatus, dpi);
  layout.statusLine = Rect(L, U, R, U + ScaleForDpi(kStatusHeight, dpi));

  const int K = U + ScaleForDpi(kStatusToTrack, dpi);
  const int scaledTrack = ScaleForDpi(kTrackHeight, dpi);
  const int h = scaledTrack > kTrackMinHeight ? scaledTrack : kTrackMinHeight;
  layout.track = Rect(L, K, R, K + h);
  return layout;
}

PixelRect ComputeProportionalFill(const PixelRect& track, int percent) {
  // A 64-bit product keeps a percent far above 100 from overflowing; within
  // 0..100 it is the 32-bit product truncated, as the bar is drawn.
  const long long trackWidth = static_cast<long long>(track.right) - track.left;
  long long right = track.left + (static_cast<long long>(percent) * trackWidth) / 100;
  if (right > INT_MAX) right = INT_MAX;
  if (right < INT_MIN) right = INT_MIN;
  return Rect(track.left, track.top, static_cast<int>(right), track.bottom);
}

bool ComputeSlidingSegment(const PixelRect& track, int animationOffset, PixelRect* segment) {
  const int trackWidth = track.right - track.left;
  const int q = SegmentLength(trackWidth);
  const int period = trackWidth + q;
  if (period <= 0) return false;  // no room to slide: the track alone
  const int r = animationOffset % period;  // sign of the offset
  const int startEdge = track.left + r - q;
  const int endEdge = track.left + r;
  const int left = startEdge > track.left ? startEdge : track.left;
  const int right = endEdge < track.right ? endEdge : track.right;
  if (right <= left) return false;
  *segment = Rect(left, track.top, right, track.bottom);
  return true;
}

int SlidingPeriodForClient(int clientWidth, unsigned dpi) {
  const int trackWidth = clientWidth - 2 * ScaleForDpi(kSideMargin, dpi);
  return trackWidth + SegmentLength(trackWidth);
}

int AdvanceAnimationOffset(int offset, int step, int period) {
  if (step > 0 && offset > INT_MAX - step) offset = period > 0 ? offset % period : 0;
  return offset + step;
}
