// The accessible view of the progress window: roles, the bar's value and
// state, where each child lies, hit-testing and which change raises what.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "shell/accessible_children.h"

namespace {

// The worked layout: 520 × 316 at 96 DPI with the 1040 × 400 banner.
ProgressLayout WorkedLayout() { return ComputeProgressLayout(520, 316, 96, 1040, 400); }

// "Build 2.4.0" as the body font measures it there: 70 × 19.
PixelRect WorkedLabel() { return BuildLabelExtent(WorkedLayout(), 70, 19); }
const PixelRect kNoLabel = BuildLabelExtent(WorkedLayout(), 0, 0);

void ExpectRect(const PixelRect& got, const PixelRect& want, const char* what) {
  EXPECT_EQ(got.left, want.left) << what;
  EXPECT_EQ(got.top, want.top) << what;
  EXPECT_EQ(got.right, want.right) << what;
  EXPECT_EQ(got.bottom, want.bottom) << what;
}

std::wstring Value(int percent) {
  wchar_t buffer[16];
  FormatProgressValue(buffer, 16, percent);
  return buffer;
}

TEST(AccessibleChildren, RolesInReadingOrder) {
  EXPECT_EQ(AccessibleChildRole(kAccessibleSelf), kAccessibleRoleClient);
  EXPECT_EQ(AccessibleChildRole(kAccessibleTitle), kAccessibleRoleStaticText);
  EXPECT_EQ(AccessibleChildRole(kAccessibleBuildLabel), kAccessibleRoleStaticText);
  EXPECT_EQ(AccessibleChildRole(kAccessibleStatus), kAccessibleRoleStaticText);
  EXPECT_EQ(AccessibleChildRole(kAccessibleProgressBar), kAccessibleRoleProgressBar);
  for (long outside : {-1L, 5L, -4L, 0x7FFFFFFFL}) {
    EXPECT_EQ(AccessibleChildRole(outside), kAccessibleRoleNone) << outside;
  }
}

TEST(AccessibleChildren, ValueIsThePercentAsStoredAndEmptyWhileBusy) {
  EXPECT_EQ(Value(0), L"0%");
  EXPECT_EQ(Value(33), L"33%");
  EXPECT_EQ(Value(100), L"100%");
  EXPECT_EQ(Value(250), L"250%");  // the window does not clamp either
  EXPECT_EQ(Value(2147483647), L"2147483647%");
  EXPECT_EQ(Value(-1), L"");
  EXPECT_EQ(Value(-2147483647 - 1), L"");
  EXPECT_TRUE(ProgressBarIsBusy(-1));
  EXPECT_FALSE(ProgressBarIsBusy(0));
  // Cut to the buffer, never past it.
  wchar_t small[3] = {L'x', L'x', L'x'};
  EXPECT_EQ(FormatProgressValue(small, 3, 100), 2u);
  EXPECT_EQ(std::wstring(small), L"10");
}

TEST(AccessibleChildren, LocationsAreThePaintedRectangles) {
  const ProgressLayout layout = WorkedLayout();
  struct Case {
    long child;
    PixelRect rect;
  } cases[] = {
      {kAccessibleSelf, {0, 0, 520, 316}},       {kAccessibleTitle, {28, 224, 492, 254}},
      {kAccessibleBuildLabel, {422, 233, 492, 252}}, {kAccessibleStatus, {28, 258, 492, 278}},
      {kAccessibleProgressBar, {28, 290, 492, 294}},
  };
  for (const Case& c : cases) {
    PixelRect rect;
    ASSERT_TRUE(AccessibleChildRect(layout, WorkedLabel(), c.child, &rect)) << c.child;
    EXPECT_EQ(rect.left, c.rect.left) << c.child;
    EXPECT_EQ(rect.top, c.rect.top) << c.child;
    EXPECT_EQ(rect.right, c.rect.right) << c.child;
    EXPECT_EQ(rect.bottom, c.rect.bottom) << c.child;
  }
  PixelRect rect;
  EXPECT_FALSE(AccessibleChildRect(layout, WorkedLabel(), 5, &rect));
  EXPECT_FALSE(AccessibleChildRect(layout, WorkedLabel(), -1, &rect));
}

// The label is right-aligned in its rectangle (28,233)-(492,254) and drawn
// from its top; what does not fit is clipped, as the paint clips it.
TEST(AccessibleChildren, BuildLabelLiesWhereItsTextIsPainted) {
  const ProgressLayout layout = WorkedLayout();
  struct Case {
    const char* what;
    int width, height;
    PixelRect rect;
  } cases[] = {
      {"the worked label", 70, 19, {422, 233, 492, 252}},
      {"no label: not a pixel", 0, 0, {492, 233, 492, 233}},
      {"no width", 0, 19, {492, 233, 492, 233}},
      {"exactly the row", 464, 21, {28, 233, 492, 254}},
      {"wider than the row", 600, 19, {28, 233, 492, 252}},
      {"taller than the row", 70, 40, {422, 233, 492, 254}},
  };
  for (const Case& c : cases) ExpectRect(BuildLabelExtent(layout, c.width, c.height), c.rect, c.what);
  // At 144 DPI: the rectangle (42,350)-(738,381).
  const ProgressLayout large = ComputeProgressLayout(780, 474, 144, 1040, 400);
  ExpectRect(BuildLabelExtent(large, 105, 28), {633, 350, 738, 378}, "144 DPI");
}

TEST(AccessibleChildren, HitTestFollowsTheHalfOpenRectangles) {
  const ProgressLayout layout = WorkedLayout();
  const PixelRect label = WorkedLabel();
  struct Case {
    int x, y;
    const PixelRect& label;
    long child;
  } cases[] = {
      {10, 10, label, kAccessibleSelf},             // the banner
      {28, 224, label, kAccessibleTitle},           // the title row's first pixel
      {48, 238, label, kAccessibleTitle},           // over "Nimbrel Desktop", by the label's row
      {421, 240, label, kAccessibleTitle},          // left of the label's text
      {422, 240, label, kAccessibleBuildLabel},     // its first column
      {491, 232, label, kAccessibleTitle},          // above the label's top
      {491, 233, label, kAccessibleBuildLabel},     // the label lies over the title row
      {491, 252, label, kAccessibleTitle},          // below its text, still the title row
      {491, 233, kNoLabel, kAccessibleTitle},       // ... only while it is shown
      {492, 240, label, kAccessibleSelf},           // right is exclusive
      {27, 260, label, kAccessibleSelf},            // left of the margin
      {100, 258, label, kAccessibleStatus},
      {100, 278, label, kAccessibleSelf},           // bottom is exclusive
      {28, 290, label, kAccessibleProgressBar},
      {491, 293, label, kAccessibleProgressBar},
      {100, 294, label, kAccessibleSelf},
      {519, 315, label, kAccessibleSelf},
      {520, 100, label, -1},                        // outside the client
      {-1, 100, label, -1},
      {100, 316, label, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AccessibleChildAt(layout, c.label, c.x, c.y), c.child)
        << c.x << "," << c.y << " label " << (c.label.right > c.label.left);
  }
  // At 144 DPI the rows move with the scaling.
  const ProgressLayout large = ComputeProgressLayout(780, 474, 144, 1040, 400);
  const PixelRect none = BuildLabelExtent(large, 0, 0);
  EXPECT_EQ(AccessibleChildAt(large, none, 42, 387), kAccessibleStatus);
  EXPECT_EQ(AccessibleChildAt(large, none, 42, 435), kAccessibleProgressBar);
}

struct ChangeCase {
  const char* what;
  AccessibleView before;
  AccessibleView after;
  std::vector<std::pair<AccessibleEventKind, long>> events;
};

TEST(AccessibleChildren, EachChangeRaisesItsEventsAndNothingElse) {
  const wchar_t* d10 = L"Downloading\u2026 1 of 10 MB";
  const wchar_t* d20 = L"Downloading\u2026 2 of 10 MB";
  const ChangeCase cases[] = {
      {"nothing changed (a tick of the sliding segment)",
       {L"Installing\u2026", L"Build 2.4.0", -1}, {L"Installing\u2026", L"Build 2.4.0", -1}, {}},
      {"a new percent and text",
       {d10, L"", 10}, {d20, L"", 20},
       {{kAccessibleNameChange, kAccessibleStatus}, {kAccessibleValueChange, kAccessibleProgressBar}}},
      {"the same percent posted again with the same text", {d10, L"", 10}, {d10, L"", 10}, {}},
      {"the label becomes known",
       {d10, L"", 10}, {d10, L"Build 2.4.0", 10}, {{kAccessibleNameChange, kAccessibleBuildLabel}}},
      {"into the sliding segment",
       {L"Downloading\u2026 10 of 10 MB", L"", 100}, {L"Installing\u2026", L"", -1},
       {{kAccessibleNameChange, kAccessibleStatus},
        {kAccessibleValueChange, kAccessibleProgressBar},
        {kAccessibleStateChange, kAccessibleProgressBar}}},
      {"another negative percent keeps the empty value",
       {L"Installing\u2026", L"", -1}, {L"Installing\u2026", L"", -7}, {}},
      {"out of the sliding segment",
       {L"Installing\u2026", L"Build 1", -1}, {L"Starting\u2026", L"Build 1", 100},
       {{kAccessibleNameChange, kAccessibleStatus},
        {kAccessibleValueChange, kAccessibleProgressBar},
        {kAccessibleStateChange, kAccessibleProgressBar}}},
      {"a text that only grows by a unit", {L"Ab", L"", 0}, {L"Abc", L"", 0},
       {{kAccessibleNameChange, kAccessibleStatus}}},
      {"a text that only shrinks by a unit", {L"Abc", L"", 0}, {L"Ab", L"", 0},
       {{kAccessibleNameChange, kAccessibleStatus}}},
  };
  for (const ChangeCase& c : cases) {
    AccessibleEvent events[kMaxAccessibleEvents];
    const int count = AccessibleChangeEvents(c.before, c.after, events);
    std::vector<std::pair<AccessibleEventKind, long>> got;
    for (int i = 0; i < count; ++i) got.emplace_back(events[i].kind, events[i].child);
    EXPECT_EQ(got, c.events) << c.what;
  }
}

}  // namespace
