// Where the window draws what: one fixed layout in window units (pixels at density 1), read by
// the drawing and by the tests that look at the drawn image.
#pragma once

struct LayoutRect {
  float x, y, w, h;
};

struct WindowLayout {
  int width = 560;
  int height = 380;
  // The logo: this wide at the top, its height from the image; the divider lies logoGap below
  // it, or at logoTop when there is no logo.
  float logoLeft = 115;
  float logoTop = 22;
  float logoWidth = 330;
  float logoGap = 14;
  float dividerLeft = 40;
  float dividerWidth = 480;
  // The text column, and the rows below the divider: headline, detail, progress bar, footer.
  float textLeft = 32;
  float textWidth = 496;
  float headlineBelowDivider = 18;
  float detailBelowHeadline = 46;
  float barBelowDetail = 40;
  float footerBelowBar = 24;
  float barLeft = 48;
  float barWidth = 464;
  float barHeight = 10;
  // The buttons, and the height of their label line (centred in them).
  LayoutRect primaryButton{386, 316, 150, 40};
  LayoutRect secondaryButton{224, 316, 150, 40};
  float buttonLabelHeight = 18;
};

inline constexpr WindowLayout layout;
