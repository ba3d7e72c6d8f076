#pragma once

class QWidget;

// Gives the window of a fixed design the desktop's font (its own font when
// called), at the largest size, not above the desktop's, at which every
// label, button caption and box item fits its control. Where that would
// leave less than three quarters of the desktop's size, the whole design
// grows instead, positions, sizes and font together, until the fitted text
// has that size: a user who chose a large font, often for their eyesight,
// keeps most of it. At the standard size nothing changes.
void fitDesignToFont(QWidget *window);
