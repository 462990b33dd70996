#include "form_font.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

QString use_form_font(const QString &path)
{
    const int id = QFontDatabase::addApplicationFont(path);
    const QStringList families = id < 0 ? QStringList() : QFontDatabase::applicationFontFamilies(id);
    if (!families.isEmpty())
        QApplication::setFont(QFont(families.first(), form_font_points));
    return QApplication::font().family();
}
