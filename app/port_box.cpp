#include "port_box.h"

#include <QStyle>
#include <QStyleOptionComboBox>

void PortBox::showPopup()
{
    emit popup_requested();
    QComboBox::showPopup();
}

int PortBox::text_room() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const QRect field
        = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    return field.width() - 2;
}
