#pragma once

#include <QString>

// The form was drawn where the toolkit's default face is Tahoma-like at 9 pt;
// its fixed geometry leaves the captions little room in any wider face.
// Debian's fonts-wine installs such a face outside fontconfig's search path.
inline const char form_font_file[] = "/usr/share/wine/fonts/tahoma.ttf";
constexpr int form_font_points = 9;

// Registers the face in `path` and makes it the application's font at
// form_font_points; leaves the font as it is when the file is missing or
// holds no face. Needs the QApplication. Returns the family in use then.
QString use_form_font(const QString &path = QString::fromLatin1(form_font_file));
