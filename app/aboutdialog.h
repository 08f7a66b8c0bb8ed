// The about box.
#pragma once

#include "owneddialog.h"

class QLabel;
class QPushButton;

namespace app {

class AboutDialog : public gui::OwnedDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    QLabel* iconLabel;
    QLabel* productNameLabel;
    QLabel* versionLabel;
    QLabel* copyrightLabel;
    QLabel* makerLabel; // who made it, and where to get help
    QPushButton* okButton;
};

} // namespace app
