#pragma once

// The form places its widgets at fixed pixel positions, but its fonts grow
// with the desktop's dpi: at 120 dpi and above the captions would outgrow
// their widgets. Drawn in device-independent pixels instead, the window, its
// dialogs and message boxes grow as a whole with the desktop's scale, 1.25 at
// 120 dpi kept as it is rather than rounded; at 96 dpi nothing changes.
// QT_SCALE_FACTOR, QT_SCREEN_SCALE_FACTORS, QT_SCALE_FACTOR_ROUNDING_POLICY and
// QT_ENABLE_HIGHDPI_SCALING=0 keep the meaning the toolkit gives them.
// Pictures come from high-dpi pixmaps where a resource has them.
//
// Must run before the QApplication exists.
void follow_desktop_scale();
