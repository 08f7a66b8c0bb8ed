#include "visning.h"

#include "errordisplay.h"
#include "felles.h"
#include "hostport.h"
#include "platform.h"
#include "shape.h"
#include "termination.h"
#include "zt_reg.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTimer>
#include <QToolButton>

namespace app {

namespace {

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kLime(0x00, 0xFF, 0x00);
const QColor kGreen(0x00, 0x80, 0x00);
const QColor kAqua(0x00, 0xFF, 0xFF);
const QColor kRed(0xFF, 0x00, 0x00);
const QColor kYellow(0xFF, 0xFF, 0x00);

constexpr int kLineHeight = 13;
constexpr int kListMaxHeight = 309;
constexpr qint32 kMaxScheduleMinutes = 35791; // 35791 × 60000 ms still fits 32 bits

QFont sansFont(int pixels, bool bold = false, const char* family = "MS Sans Serif")
{
    QFont f(QString::fromLatin1(family));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QToolButton* makeCloseButton(QWidget* parent, const char* name, const QRect& box, const QColor& face)
{
    auto* b = new QToolButton(parent);
    // A flat button shows what lies under it: the bar, or the list's colour.
    b->setAutoFillBackground(true);
    QPalette pal = b->palette();
    pal.setColor(QPalette::Window, face);
    pal.setColor(QPalette::Button, face);
    pal.setColor(QPalette::ButtonText, Qt::black);
    b->setPalette(pal);
    b->setObjectName(QLatin1String(name));
    b->setText(QStringLiteral("X"));
    b->setAutoRaise(true);
    b->setFont(sansFont(8, true, "Small Fonts"));
    b->setGeometry(box);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

QAction* addItem(QMenu* menu, const char* name, const QString& caption)
{
    QAction* a = menu->addAction(caption);
    a->setObjectName(QLatin1String(name));
    return a;
}

} // namespace

QString uidIdentity(const QByteArray& uid)
{
    return QStringLiteral("uidl:") + QString::fromLatin1(uid);
}

QString headerIdentity(const net::HeaderInfo& info)
{
    return QStringLiteral("hdr:") + info.messageId + QLatin1Char('|') + info.date;
}

TBrevglimtForm::TBrevglimtForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("BrevglimtForm"));
    setWindowTitle(QStringLiteral("BrevglimtForm"));
    setFixedSize(442, 332);
    setFont(sansFont(11));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kNavy);
    setPalette(pal);

    Shape1 = new TShape(TShape::Kind::Rectangle, this);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setGeometry(0, 0, 113, 20);
    Shape1->setBrushColor(kLime);
    Shape1->setPenColor(kGreen, 2);

    Statuslabel = new QLabel(QStringLiteral("INNBOKS:"), this);
    Statuslabel->setObjectName(QStringLiteral("Statuslabel"));
    Statuslabel->setAutoFillBackground(true);
    QPalette labelPal = Statuslabel->palette();
    labelPal.setColor(QPalette::Window, kLime);
    labelPal.setColor(QPalette::WindowText, Qt::black);
    Statuslabel->setPalette(labelPal);
    Statuslabel->setFont(sansFont(11));
    Statuslabel->move(8, 4);
    Statuslabel->setFixedHeight(13);
    Statuslabel->adjustSize();
    Statuslabel->setAttribute(Qt::WA_TransparentForMouseEvents); // presses reach the bar

    SpeedButton1 = makeCloseButton(this, "SpeedButton1", QRect(95, 3, 14, 14), kLime);
    SpeedButton2 = makeCloseButton(this, "SpeedButton2", QRect(419, 7, 14, 14), kYellow);

    Shape2 = new TShape(TShape::Kind::Circle, this);
    Shape2->setObjectName(QStringLiteral("Shape2"));
    Shape2->setGeometry(kIndicatorStart, 2, 17, 17);
    Shape2->setBrushColor(kAqua);
    Shape2->hide();

    Liste = new QListWidget(this);
    Liste->setObjectName(QStringLiteral("Liste"));
    Liste->setGeometry(0, 20, 433, kListMaxHeight);
    Liste->setUniformItemSizes(true);
    Liste->setFrameShape(QFrame::NoFrame);
    QPalette listPal = Liste->palette();
    listPal.setColor(QPalette::Base, kYellow);
    listPal.setColor(QPalette::Text, Qt::black);
    Liste->setPalette(listPal);
    Liste->setContextMenuPolicy(Qt::CustomContextMenu);
    Liste->setSelectionMode(QAbstractItemView::SingleSelection);
    SpeedButton2->raise(); // its lower edge lies over the list's top

    Memo1 = new QPlainTextEdit(QStringLiteral("Memo1"), this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(16, 128, 409, 185);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->hide();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(60000);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(100);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Brevglimt1 = addItem(PopupMenu1, "Brevglimt1", QStringLiteral("Brevglimt"));
    Oppsett1 = addItem(PopupMenu1, "Oppsett1", QStringLiteral("Oppsett"));
    Skjul1 = addItem(PopupMenu1, "Skjul1", QStringLiteral("Skjul"));
    PopupMenu1->addSeparator()->setObjectName(QStringLiteral("N2"));
    OmBrevglimt1 = addItem(PopupMenu1, "OmBrevglimt1", QStringLiteral("Om brevglimt"));
    Vismeldingsliste = addItem(PopupMenu1, "Vismeldingsliste", QStringLiteral("Vis meldingsliste"));
    Vismeldingsliste->setCheckable(true);
    PopupMenu1->addSeparator()->setObjectName(QStringLiteral("N3"));
    Sendepost1 = addItem(PopupMenu1, "Sendepost1", QStringLiteral("Ny epost"));
    PopupMenu1->addSeparator()->setObjectName(QStringLiteral("N1"));
    Avslutt1 = addItem(PopupMenu1, "Avslutt1", QStringLiteral("Avslutt"));

    PopupMenu2 = new QMenu(this);
    PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
    Slett1 = addItem(PopupMenu2, "Slett1", QStringLiteral("Slett"));

    // Every handler runs under the top-level error display.
    auto bind = [this](auto signalSource, auto signal, void (TBrevglimtForm::*handler)()) {
        connect(signalSource, signal, this, [this, handler] { rt::runHandler([&] { (this->*handler)(); }); });
    };
    connect(Shape1, &TShape::mousePressed, this, [this] { rt::runHandler([&] { Shape1MouseDown(); }); });
    bind(SpeedButton1, &QToolButton::clicked, &TBrevglimtForm::SpeedButton1Click);
    bind(SpeedButton2, &QToolButton::clicked, &TBrevglimtForm::SpeedButton2Click);
    bind(Timer1, &QTimer::timeout, &TBrevglimtForm::Timer1Timer);
    bind(Timer2, &QTimer::timeout, &TBrevglimtForm::Timer2Timer);
    bind(PopupMenu1, &QMenu::aboutToShow, &TBrevglimtForm::PopupMenu1Popup);
    bind(Brevglimt1, &QAction::triggered, &TBrevglimtForm::Brevglimt1Click);
    bind(Oppsett1, &QAction::triggered, &TBrevglimtForm::Oppsett1Click);
    bind(Skjul1, &QAction::triggered, &TBrevglimtForm::Skjul1Click);
    bind(OmBrevglimt1, &QAction::triggered, &TBrevglimtForm::OmBrevglimt1Click);
    bind(Vismeldingsliste, &QAction::triggered, &TBrevglimtForm::VismeldingslisteClick);
    bind(Sendepost1, &QAction::triggered, &TBrevglimtForm::Sendepost1Click);
    bind(Avslutt1, &QAction::triggered, &TBrevglimtForm::Avslutt1Click);
    bind(Slett1, &QAction::triggered, &TBrevglimtForm::Slett1Click);
    // A double-click anywhere in the list opens the selected message, as
    // one on empty space below the lines does too.
    Liste->viewport()->installEventFilter(this);
    connect(Liste, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu2->popup(Liste->viewport()->mapToGlobal(pos)); });

    POP3.onConnected = [this] { POP3Connected(); };
    POP3.onDisconnected = [this] { POP3Disconnected(); };

    updateShape();
}

TBrevglimtForm::~TBrevglimtForm() = default;

// ---------------------------------------------------------------- look

void TBrevglimtForm::updateShape()
{
    // Only the controls exist on screen; the rest of the strip is
    // see-through and lets the mouse through to what lies beneath.
    QRegion region;
    for (QWidget* w : {static_cast<QWidget*>(Shape1), static_cast<QWidget*>(Statuslabel),
                       static_cast<QWidget*>(SpeedButton1), static_cast<QWidget*>(SpeedButton2),
                       static_cast<QWidget*>(Liste)}) {
        if (w->isVisibleTo(this))
            region += w->geometry();
    }
    if (Shape2->isVisibleTo(this))
        region += QRegion(Shape2->geometry(), QRegion::Ellipse);
    setMask(region);
}

void TBrevglimtForm::setListVisible(bool visible)
{
    Liste->setVisible(visible);
    SpeedButton2->setVisible(Liste->isVisibleTo(this));
    updateShape();
}

void TBrevglimtForm::setStatusText(const QString& text)
{
    Statuslabel->setText(text);
    Statuslabel->adjustSize();
    Statuslabel->setFixedHeight(13);
    updateShape();
}

void TBrevglimtForm::indicatorOn(bool aqua)
{
    if (aqua)
        Shape2->setBrushColor(kAqua);
    Timer2->start();
    Shape2->show();
    updateShape();
}

void TBrevglimtForm::indicatorOff()
{
    Timer2->stop();
    Shape2->hide();
    updateShape();
}

// ---------------------------------------------------------------- showing

void TBrevglimtForm::showForm()
{
    const bool wasHidden = !isVisible();
    show();
    raise();
    activateWindow();
    if (wasHidden)
        FormShow();
}

void TBrevglimtForm::FormShow()
{
    move(23, 2);
    hentoppsett();
    sjekkpop(this);
}

bool TBrevglimtForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Liste->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        rt::runHandler([this] { ListeDblClick(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TBrevglimtForm::contextMenuEvent(QContextMenuEvent* event)
{
    PopupMenu1->popup(event->globalPos());
}

void TBrevglimtForm::closeEvent(QCloseEvent* event)
{
    event->accept();
    emit closed();
}

int TBrevglimtForm::selectedRow() const
{
    const QList<QListWidgetItem*> selected = Liste->selectedItems();
    return selected.isEmpty() ? -1 : Liste->row(selected.first());
}

// ---------------------------------------------------------------- settings and check

void TBrevglimtForm::hentoppsett()
{
    rt::useuserini();
    rt::iniselect(QStringLiteral("Pop3"));
    const net::HostPort server = net::splitHostPort(rt::inireadstring(QStringLiteral("ServerName")), 110);
    POP3.host = server.host;
    POP3.port = server.port;
    POP3.user = rt::inireadstring(QStringLiteral("ServerUser"));
    POP3.password = rt::UnscrambleText(rt::inireadstring(QStringLiteral("ServerPassword")));
    sjekkioppstart = rt::inireadbool(QStringLiteral("StartupCheck"));
    VisVindu = rt::inireadbool(QStringLiteral("ShowOnNew"));
    VisListeNy = rt::inireadbool(QStringLiteral("ShowListOnNew"));
    LagLyd = rt::inireadbool(QStringLiteral("BeepOnMail"));
    HideVedIngenPost = rt::inireadbool(QStringLiteral("HideWindow"));
    // Outside 0 … 35791 minutes the interval would not fit: no schedule
    // below, the longest one above.
    const qint32 minutes = std::clamp(rt::inireadint(QStringLiteral("ScheduleMinutes")), 0, kMaxScheduleMinutes);
    const int interval = minutes * 60000;
    // A changed interval restarts the countdown, an unchanged one keeps it;
    // a timer of 0 ms would fire without pause, so it is stopped instead.
    if (interval == 0)
        Timer1->stop();
    if (interval != Timer1->interval())
        Timer1->setInterval(interval);
    const bool showList = rt::inireadbool(QStringLiteral("ShowList"));
    rt::inistandard();
    rt::usemainini();

    setListVisible(showList);
    if (POP3.host.isEmpty())
        Oppsett1Click();
    Sisteantall = 0;
    if (Timer1->interval() > 0 && !Timer1->isActive())
        Timer1->start();
}

void TBrevglimtForm::sjekkpop(QObject*)
{
    if (!sjekkioppstart) {
        sjekkioppstart = true;
        return;
    }
    indicatorOn(true);
    if (POP3.connected())
        POP3.disconnect();
    POP3.connect();
    const int n = POP3.messageCount();
    if (n > 0) {
        Liste->clear();
        m_identities.clear();
        const auto uids = POP3.uniqueIds();
        m_usesUidl = uids.has_value();
        Liste->setUpdatesEnabled(false);
        try {
            POP3.retrieveHeaders(1, n, [&](int i, const QByteArray& raw) {
                Msg = net::parseHeader(raw);
                auto* item = new QListWidgetItem(net::listLine(Msg));
                item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                item->setCheckState(Qt::Unchecked);
                item->setSizeHint(QSize(0, kLineHeight));
                Liste->addItem(item);
                if (m_usesUidl)
                    m_identities.append(uidIdentity(uids->count(i) ? uids->at(i) : QByteArray()));
                else
                    m_identities.append(headerIdentity(Msg));
            });
        } catch (...) {
            Liste->setUpdatesEnabled(true);
            throw;
        }
        Liste->setUpdatesEnabled(true);
    }
    setStatusText(QStringLiteral("INNBOKS: ") + QString::number(n));
    POP3.disconnect();
    Liste->setFixedHeight(std::min((n - 1) * kLineHeight + 17, kListMaxHeight));
    updateShape();
    if (HideVedIngenPost && n == 0)
        hide();
    if (n != Sisteantall) {
        if (VisVindu)
            showForm();
        Sisteantall = n;
        if (LagLyd)
            rt::platform().beep();
        if (VisListeNy)
            Liste->setVisible(true);
        setListVisible(Liste->isVisibleTo(this));
    }
    indicatorOff();
}

// ---------------------------------------------------------------- message actions

QString TBrevglimtForm::identityOnServer(int number)
{
    if (m_usesUidl) {
        const auto uid = POP3.uniqueId(number);
        return uid ? uidIdentity(*uid) : QString();
    }
    try {
        return headerIdentity(net::parseHeader(POP3.retrieveHeader(number)));
    } catch (const net::NetError&) {
        if (!POP3.connected())
            throw;
        return QString(); // "-ERR": no such message any more
    }
}

bool TBrevglimtForm::confirmLine(int row)
{
    if (row < 0 || row >= m_identities.size())
        return true;
    if (identityOnServer(row + 1) == m_identities.at(row))
        return true;
    POP3.disconnect();
    indicatorOff();
    rt::platform().messageBox(QStringLiteral("Brevglimt"),
                              QStringLiteral("Postkassen er endret siden forrige sjekk, så meldingen ble ikke "
                                             "rørt. Meldingslisten hentes på nytt."),
                              rt::MsgIcon::Information);
    sjekkpop(this);
    return false;
}

void TBrevglimtForm::ListeDblClick()
{
    const QString path = rt::tavlundpath(QStringLiteral("tmp")) + QStringLiteral("temp.eml");
    Timer2->start();
    Shape2->show();
    updateShape();
    Memo1->clear();
    if (!POP3.connected())
        POP3.connect();
    const int row = selectedRow();
    if (!confirmLine(row))
        return;
    QByteArray message;
    if (POP3.retrieveRaw(row + 1, message)) {
        Memo1->setPlainText(QString::fromUtf8(message));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(message) != message.size() || !file.commit())
            throw std::runtime_error(QStringLiteral("Kan ikke lagre meldingen i %1: %2")
                                         .arg(path, file.errorString())
                                         .toStdString());
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        rt::ShellOpen(path, QString(), QString());
    }
    POP3.disconnect();
    indicatorOff();
    repaint();
}

void TBrevglimtForm::Slett1Click()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    Timer2->start();
    Shape2->show();
    updateShape();
    if (!POP3.connected())
        POP3.connect();
    if (!confirmLine(row))
        return;
    POP3.deleteMessage(row + 1);
    POP3.disconnect();
    indicatorOff();
    sjekkpop(this);
}

// ---------------------------------------------------------------- other handlers

void TBrevglimtForm::Shape1MouseDown()
{
    PopupMenu1->popup(QCursor::pos());
}

void TBrevglimtForm::SpeedButton1Click()
{
    close();
}

void TBrevglimtForm::Avslutt1Click()
{
    close();
}

void TBrevglimtForm::Brevglimt1Click()
{
    sjekkpop(Brevglimt1);
}

void TBrevglimtForm::Timer1Timer()
{
    sjekkpop(Timer1);
}

void TBrevglimtForm::Oppsett1Click()
{
    // After a termination signal no new dialog opens, so the program can end.
    if (!settingsDialog || rt::terminationRequested())
        return;
    settingsDialog();
    hentoppsett();
}

void TBrevglimtForm::Skjul1Click()
{
    hide();
}

void TBrevglimtForm::OmBrevglimt1Click()
{
    if (aboutBox)
        aboutBox();
}

void TBrevglimtForm::VismeldingslisteClick()
{
    setListVisible(!Liste->isVisibleTo(this));
}

void TBrevglimtForm::PopupMenu1Popup()
{
    Vismeldingsliste->setChecked(Liste->isVisibleTo(this));
}

void TBrevglimtForm::SpeedButton2Click()
{
    setListVisible(false);
}

void TBrevglimtForm::Sendepost1Click()
{
    if (composer)
        composer();
}

void TBrevglimtForm::Timer2Timer()
{
    const int left = Shape2->x() > 401 ? kIndicatorStart : Shape2->x() + 3;
    Shape2->move(left, Shape2->y());
    updateShape();
    Shape2->repaint();
}

void TBrevglimtForm::POP3Connected()
{
    Shape2->setBrushColor(kGreen);
}

void TBrevglimtForm::POP3Disconnected()
{
    Shape2->setBrushColor(kRed);
}

} // namespace app
