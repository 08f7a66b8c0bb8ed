// The about box.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace app {

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);

    QLabel* ProgramIcon;
    QLabel* ProductName;
    QLabel* Version;
    QLabel* Copyright;
    QLabel* Label1;
    QPushButton* OKButton;
};

} // namespace app
