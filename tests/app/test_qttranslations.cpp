// Qt's own texts come out in Bokmål, and in Nynorsk where the program's
// Bokmål file has none.
#include "qttranslations.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTranslator>
#include <gtest/gtest.h>
#include <memory>

TEST(QtTranslations, StandardButtonsAndEditMenuInBokmaal)
{
    const QList<QTranslator*> installed = app::installQtTranslations();
    ASSERT_EQ(installed.size(), 2) << "the Bokmål file and Qt's Nynorsk file both load";

    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Yes
                             | QDialogButtonBox::No | QDialogButtonBox::Open | QDialogButtonBox::Save);
    const struct {
        QDialogButtonBox::StandardButton button;
        const char* text;
    } cases[] = {{QDialogButtonBox::Cancel, "Avbryt"}, {QDialogButtonBox::Yes, "&Ja"}, {QDialogButtonBox::No, "&Nei"},
                 {QDialogButtonBox::Open, "Åpne"}, {QDialogButtonBox::Save, "Lagre"}};
    for (const auto& c : cases)
        EXPECT_EQ(buttons.button(c.button)->text(), QString::fromUtf8(c.text));

    QLineEdit edit(QStringLiteral("tekst"));
    const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (const QAction* a : menu->actions()) {
        if (!a->isSeparator())
            texts.append(a->text().section(QLatin1Char('\t'), 0, 0));
    }
    EXPECT_EQ(texts, (QStringList{QStringLiteral("&Angre"), QStringLiteral("&Gjør om"), QStringLiteral("Klipp &ut"),
                                  QStringLiteral("&Kopier"), QStringLiteral("&Lim inn"), QStringLiteral("Slett"),
                                  QStringLiteral("Merk alt")}));

    // A text the Bokmål file leaves out comes from Nynorsk.
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Sidebar"), QStringLiteral("Sidestolpe"));

    for (QTranslator* t : installed) {
        QCoreApplication::removeTranslator(t);
        delete t;
    }
}
