#include "display/progress_layout.h"

#include <limits.h>

#include "base/dpi_scale.h"

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
  layout.bandHeight = bannerWidth != 0 ? MulDivRounded(clientWidth, bannerHeight, bannerWidth)
                                       : ScaleForDpi(kFallbackBandHeight, dpi);
  const int bandBottom = layout.bandHeight;
  layout.background = Rect(0, 0, clientWidth, clientHeight);
  layout.band = Rect(0, 0, clientWidth, bandBottom);
  layout.separator = Rect(0, bandBottom, clientWidth, bandBottom + 1);

  const int contentLeft = ScaleForDpi(kSideMargin, dpi);
  const int contentRight = clientWidth - ScaleForDpi(kSideMargin, dpi);
  const int titleTop = bandBottom + ScaleForDpi(kBandToTitle, dpi);
  const int titleBottom = titleTop + ScaleForDpi(kTitleRowHeight, dpi);
  layout.titleRow = Rect(contentLeft, titleTop, contentRight, titleBottom);
  layout.buildLabel = Rect(contentLeft, titleTop + ScaleForDpi(kTitleToBuildLabel, dpi),
                           contentRight, titleBottom);

  const int statusTop = titleTop + ScaleForDpi(kTitleToStatus, dpi);
  layout.statusLine =
      Rect(contentLeft, statusTop, contentRight, statusTop + ScaleForDpi(kStatusHeight, dpi));

  const int trackTop = statusTop + ScaleForDpi(kStatusToTrack, dpi);
  const int scaledTrackHeight = ScaleForDpi(kTrackHeight, dpi);
  const int trackHeight = scaledTrackHeight > kTrackMinHeight ? scaledTrackHeight : kTrackMinHeight;
  layout.track = Rect(contentLeft, trackTop, contentRight, trackTop + trackHeight);
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
  const int segmentLength = SegmentLength(trackWidth);
  const int period = trackWidth + segmentLength;
  if (period <= 0) return false;  // no room to slide: the track alone
  // The segment's leading edge, from the track's left; it keeps the offset's
  // sign, so a negative offset puts the segment before the track.
  const int leadingEdge = animationOffset % period;
  const int startEdge = track.left + leadingEdge - segmentLength;
  const int endEdge = track.left + leadingEdge;
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
