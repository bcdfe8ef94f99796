// Where the window draws what, and in which colours: one fixed layout in window units (pixels at
// density 1) and one palette, read by the drawing and by the tests that look at the drawn image.
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

struct LayoutColour {
  unsigned char r, g, b;
};

struct WindowPalette {
  LayoutColour background{11, 13, 16};
  LayoutColour divider{70, 58, 40};
  LayoutColour headline{230, 225, 211};
  LayoutColour detail{150, 146, 136};
  LayoutColour footer{110, 107, 100};
  // The progress bar: its track, and the share done.
  LayoutColour track{22, 26, 32};
  LayoutColour fill{57, 140, 160};
  LayoutColour primaryFill{188, 155, 106};
  LayoutColour primaryHoverFill{220, 192, 140};
  LayoutColour primaryBorder{220, 192, 140};
  LayoutColour primaryText{11, 13, 16};
  LayoutColour secondaryFill{22, 26, 32};
  LayoutColour secondaryHoverFill{40, 46, 56};
  LayoutColour secondaryBorder{70, 76, 86};
  LayoutColour secondaryText{230, 225, 211};
};

inline constexpr WindowPalette palette;
