// A dialog that belongs to another window of the program (its owner, the
// strip as a rule): each time it opens it is centred over that window and
// kept wholly on the screen, so it never lands under the always-on-top
// strip or with its title bar off screen.
#pragma once

#include <QDialog>
#include <QPointer>

namespace gui {

class OwnedDialog : public QDialog {
    Q_OBJECT
public:
    explicit OwnedDialog(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

    // The window it is centred over each time it opens; without one it is
    // centred on the screen. Held weakly: an owner that goes first leaves
    // none.
    void setOwner(QWidget* owner) { m_owner = owner; }
    QWidget* owner() const { return m_owner; }

protected:
    // An opening (a show that is not the window system restoring a minimised
    // window) places the dialog, then runs opening(); a restore does neither.
    void showEvent(QShowEvent* event) override;

    // The window the dialog is centred over when it opens: the owner.
    virtual QWidget* placedOver() const { return m_owner; }
    // What the dialog does on each opening, once it is placed.
    virtual void opening() {}

private:
    QPointer<QWidget> m_owner;
};

} // namespace gui
