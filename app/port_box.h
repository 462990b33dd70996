#pragma once

#include <QComboBox>

// A "COM Port" box of the form. Its rows are refreshed just before its list
// opens, so it says when that is about to happen.
class PortBox : public QComboBox
{
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    void showPopup() override;

    // The width the box's text field gives the shown row's text, in the
    // box's style: the edit field less the pixel the label keeps free on
    // either side.
    int text_room() const;

signals:
    void popup_requested();
};
