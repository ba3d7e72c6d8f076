#pragma once

#include <functional>

class QWidget;

// Makes the controls of a window of fixed design with `setUpControls` (the
// design's own setup), then gives the window the desktop's font (its own
// font when called), at the largest size, not above the desktop's, at
// which every label, button caption and box item fits its control. Where
// that would leave less than three quarters of the desktop's size, the
// whole design grows instead, positions, sizes and font together, until
// the fitted text has that size: a user who chose a large font, often for
// their eyesight, keeps most of it. It never grows beyond the screen's
// room for windows: where the font would need more, the design takes the
// largest size that fits, and the font is fitted to it. At the standard
// size nothing changes.
//
// The controls are made in the size that the texts take at the standard
// desktop size and wherever the design grows (three quarters of the
// desktop's size, on its grid of half points), so that the toolkit usually
// prepares a font of that size alone: each size costs it more than all the
// fitting does.
void setUpInFittingFont(QWidget *window, const std::function<void()> &setUpControls);
