#include "owneddialog.h"

#include "windowplace.h"

#include <QShowEvent>

namespace gui {

OwnedDialog::OwnedDialog(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
{
}

void OwnedDialog::showEvent(QShowEvent* event)
{
    const bool opened = !event->spontaneous();
    // Placed before QDialog's own showing, which then leaves the position
    // alone; the window is not mapped yet, so it never shows elsewhere first.
    if (opened)
        placeOver(this, placedOver());
    QDialog::showEvent(event);
    if (opened)
        opening();
}

} // namespace gui
