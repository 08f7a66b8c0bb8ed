#include "guihooks.h"

#include "boxtext.h"
#include "platform.h"
#include "windowplace.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace app {

namespace {

// A message box that belongs to the window it is shown over (the modal
// dialog or active window, else the strip), so it opens above the strip
// and wholly on screen.
class OwnedMessageBox : public QMessageBox {
public:
    explicit OwnedMessageBox(QWidget* fallbackOwner)
        : QMessageBox(gui::currentOwner(fallbackOwner))
    {
    }

protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event); // sizes the box to its text
        gui::placeOver(this, parentWidget());
    }
};

} // namespace

void installGuiHooks(std::function<QWidget*()> mainWindow)
{
    rt::UiHooks hooks;
    hooks.messageBox = [mainWindow](const QString& caption, const QString& text, rt::MsgIcon icon) {
        OwnedMessageBox box(mainWindow());
        box.setWindowTitle(caption);
        // A path (the saved temp.eml, say) stays on one line; the box grows
        // wider for it as far as the screen allows.
        box.setText(gui::keepPathsWhole(text));
        switch (icon) {
        case rt::MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
        case rt::MsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
        case rt::MsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
        case rt::MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
    };
    hooks.busyCursor = [](bool busy) {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else if (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    };
    hooks.beep = [] { QApplication::beep(); };
    hooks.question = [mainWindow](const QString& caption, const QString& text) {
        OwnedMessageBox box(mainWindow());
        box.setWindowTitle(caption);
        box.setText(gui::keepPathsWhole(text));
        box.setIcon(QMessageBox::Warning);
        QPushButton* yes = box.addButton(QStringLiteral("Ja"), QMessageBox::YesRole);
        QPushButton* no = box.addButton(QStringLiteral("Nei"), QMessageBox::NoRole);
        box.setDefaultButton(no);
        box.setEscapeButton(no);
        // The user answers with the ordinary pointer, busy or not.
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        box.exec();
        QApplication::restoreOverrideCursor();
        return box.clickedButton() == yes;
    };
    rt::platform().setUiHooks(std::move(hooks));
}

} // namespace app
