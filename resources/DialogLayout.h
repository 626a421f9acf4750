#pragma once
// What the installer dialog places at run time on template 129, in client
// pixels (the template's own controls are placed by Orvanta.rc), and the mark
// its banner carries. C++ only: the resource compiler does not read this.
namespace DialogLayout {

// The content area: this wide, centred in the client area.
const int kContentWidth = 490;
// The banner at the top of the content area, and a choice page's backdrop
// (control IDC_BACKGROUND) below it.
const int kBannerTop = 10;
const int kBannerHeight = 80;
const int kBackdropTop = 90;
const int kBackdropHeight = 218;
// The hosted web page: inset from the content area's left edge.
const int kPageInset = 35;
const int kPageTop = 10;
const int kPageWidth = 427;
const int kPageBottom = 266;
// The compact layout of a repeat run: the status line and the two bars at
// this margin, one under the other, in a dialog a third of its height.
const int kCompactMargin = 10;

// User data of the banner button: clicks on it are not answers.
const int kBannerUserData = 0xFFFF;

} // namespace DialogLayout
