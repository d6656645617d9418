// SPDX-License-Identifier: GPL-3.0-or-later
// The window's language: which one the user's UI languages choose; an English window that shows no
// Russian anywhere (captions, items, tooltips, menus, texts set as it works, the boxes its failures
// raise); and Russian windows whose texts are the sources, unchanged.
#include "BreakControl.h"
#include "ExchangeLog.h"
#include "FileDialog.h"
#include "FileSendPanel.h"
#include "Language.h"
#include "MessageBox.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "platform/window.h"
#include "ui_Unit1.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {

bool hasCyrillic(const QString& s) {
    for (const QChar c : s)
        if (c.script() == QChar::Script_Cyrillic)
            return true;
    return false;
}

std::string joined(const QStringList& texts) {
    return texts.join(QLatin1Char('\n')).toStdString();
}

// The texts with Cyrillic letters, each once, one per line.
std::string cyrillic(const QStringList& texts) {
    QStringList found;
    for (const QString& t : texts)
        if (hasCyrillic(t))
            found << t;
    found.removeDuplicates();
    return found.join(QLatin1Char('\n')).toStdString();
}

// The texts of a menu and its submenus, as "menu: text".
void menuTexts(const QMenu& menu, QStringList& out) {
    for (const QAction* a : menu.actions()) {
        out << QStringLiteral("menu: ") + a->text() << QStringLiteral("menu tip: ") + a->toolTip();
        if (a->menu())
            menuTexts(*a->menu(), out);
    }
}

// Opens the context menu of every widget under `root` the way a user would, and takes down the texts
// of each menu that shows.
class ContextMenus : public QObject {
public:
    QStringList open(QWidget* root) {
        qApp->installEventFilter(this);
        for (QWidget* w : root->findChildren<QWidget*>()) {
            if (!w->isVisible())
                continue;
            // A scroll area takes a mouse's menu request on its viewport.
            auto* area = qobject_cast<QAbstractScrollArea*>(w);
            QWidget* target = area ? area->viewport() : w;
            QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(2, 2), target->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(target, &e);
            QApplication::processEvents();
        }
        qApp->removeEventFilter(this);
        return m_texts;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* menu = qobject_cast<QMenu*>(watched);
        if (menu && event->type() == QEvent::Show) {
            menuTexts(*menu, m_texts);
            QTimer::singleShot(0, menu, &QMenu::close);
        }
        return false;
    }

private:
    QStringList m_texts;
};

// Every text a window shows or offers, as "objectName: text".
QStringList widgetTexts(QWidget* root) {
    QStringList out;
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        const QString n = w->objectName() + QStringLiteral(": ");
        out << n + w->toolTip() << n + w->statusTip() << n + w->whatsThis() << n + w->windowTitle();
        if (auto* log = qobject_cast<ExchangeLog*>(w))
            out << n + log->text();
        if (auto* l = qobject_cast<QLabel*>(w))
            out << n + l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            out << n + b->text();
        if (auto* g = qobject_cast<QGroupBox*>(w))
            out << n + g->title();
        if (auto* e = qobject_cast<QLineEdit*>(w))
            out << n + e->text() << n + e->placeholderText();
        if (auto* e = qobject_cast<QPlainTextEdit*>(w))
            out << n + e->toPlainText() << n + e->placeholderText();
        if (auto* c = qobject_cast<QComboBox*>(w)) {
            out << n + c->currentText() << n + c->placeholderText();
            for (int i = 0; i < c->count(); ++i)
                out << n + c->itemText(i) << n + c->itemData(i, Qt::ToolTipRole).toString();
        }
        if (auto* t = qobject_cast<QTabWidget*>(w))
            for (int i = 0; i < t->count(); ++i)
                out << n + t->tabText(i) << n + t->tabToolTip(i);
        for (const QAction* a : w->actions()) {
            out << n + a->text() << n + a->toolTip();
            if (a->menu())
                menuTexts(*a->menu(), out);
        }
    }
    return out;
}

// What a window shows through a run that raises every box a failure can raise and sets every text the
// window sets as it works, in whatever language is installed now.
struct WindowRun {
    QStringList shown;      // widget texts, before and after each step
    QStringList accessible; // the names and descriptions given for screen readers (Qt's own translated)
    QStringList menus;      // the context menus of the fresh window
    QStringList boxes;      // text, caption and details of each box
    int missedBoxes = 0;
};

// A COM map in which COM2 leads to a file and the others nowhere, for both kinds of port tooltip.
struct ComMap {
    QTemporaryDir dir;
    ComMap() {
        QFile device(dir.filePath(QStringLiteral("device")));
        EXPECT_TRUE(device.open(QIODevice::WriteOnly) &&
                    QFile::link(device.fileName(), dir.filePath(QStringLiteral("COM2"))));
    }
};

WindowRun runWindow(const ComMap& map) {
    WindowRun run;
    platform::FakeComm fake;
    fake.addDevice("\\\\.\\COM1");
    const platform::ScopedCommDevice scope(fake);
    msgbox::MessageBoxRecorder boxes;
    const QByteArray mapWas = qgetenv("COMLAB_PORTS_DIR");
    qputenv("COMLAB_PORTS_DIR", QFile::encodeName(map.dir.path()));

    const QTemporaryDir files;
    TForm1 form;
    Ui::Form1& ui = *form.ui;
    form.show();
    QApplication::processEvents();
    run.menus = ContextMenus().open(&form);

    const auto connectCom = [&](int index) {
        ui.cbCOM->setCurrentIndex(index);
        form.btCOMonClick(ui.btCOMon);
    };
    const auto disconnectSoon = [&] {
        QTimer::singleShot(0, &form, [&] { form.btCOMoffClick(ui.btCOMoff); });
    };
    struct Step {
        const char* name;
        bool raisesBox;
        std::function<void()> act;
    };
    const Step steps[] = {
        {"fresh window", false, [] {}},
        {"port list opened", false,
         [&] {
             ui.cbCOM->showPopup();
             ui.cbCOM->hidePopup();
         }},
        {"connect to a missing port", true, [&] { connectCom(5); }},
        {"state report while closed", false, [&] { form.btTekClick(ui.btTek); }},
        {"empty line", true, [&] { form.btOutCOMClick(ui.btOutCOM); }},
        {"line while closed", true,
         [&] {
             ui.edCOMout->setText(QStringLiteral("A"));
             form.btOutCOMClick(ui.btOutCOM);
         }},
        {"start while closed", true, [&] { form.btZagClick(ui.btZag); }},
        {"rate that is no number", true,
         [&] {
             ui.CheckBOD->setChecked(true);
             ui.edBOD->setText(QStringLiteral("99999999999"));
             form.btCOMonClick(ui.btCOMon);
             ui.CheckBOD->setChecked(false);
         }},
        {"connect", false, [&] { connectCom(0); }},
        {"state report while open", false, [&] { form.btTekClick(ui.btTek); }},
        {"a file held by flow control", false,
         [&] {
             fake.setOutputCapacity(4096);
             QFile file(files.filePath(QStringLiteral("held.bin")));
             EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray(10000, 'h')) == 10000);
             file.close();
             filedlg::FileDialogStub dialog({file.fileName()});
             form.fileSend->acSendFile->trigger();
             EXPECT_TRUE(QTest::qWaitFor([&] { return form.fileSend->sender->held(); }, 10000));
             run.shown << widgetTexts(&form);
             form.fileSend->btFileSendCancel->click();
             fake.setOutputCapacity(std::nullopt);
         }},
        {"a file sent", false,
         [&] {
             filedlg::FileDialogStub dialog({files.filePath(QStringLiteral("held.bin"))});
             form.fileSend->acSendFile->trigger();
             run.shown << widgetTexts(&form);
             EXPECT_TRUE(QTest::qWaitFor([&] { return !form.fileSend->sender->running(); }, 10000));
         }},
        {"a break the device refuses", true,
         [&] {
             fake.setFailure(platform::FakeOp::EscapeCommFunction);
             form.lineBreak->btBreak->click();
             fake.clearFailures();
         }},
        {"write that fails", true,
         [&] {
             fake.setFailure(platform::FakeOp::WriteFile);
             form.CPDrv->setOutputTimeout(1);
             form.SendCode(0x41);
             fake.clearFailures();
         }},
        {"array without a size", true, [&] { form.btMassStartClick(ui.btMassStart); }},
        {"loopback test", false, [&] { form.btTestClick(ui.btTest); }},
        {"stop", false, [&] { form.btStopClick(ui.btStop); }},
        {"echo stub", false, [&] { form.btZagClick(ui.btZag); }},
        {"disconnect inside a sequence", true,
         [&] {
             form.btStopClick(ui.btStop);
             disconnectSoon();
             form.btPosClick(ui.btPos);
         }},
        {"disconnect inside an array", true,
         [&] {
             form.btStopClick(ui.btStop);
             connectCom(0);
             ui.edMass->setText(QStringLiteral("1000"));
             disconnectSoon();
             form.btMassStartClick(ui.btMassStart);
         }},
        {"lost data and line errors, in the log and on the strip", false,
         [&] {
             connectCom(0);
             ui.rbOutSym->setChecked(true);
             ui.edCOMout->setText(QStringLiteral("x"));
             form.btOutCOMClick(ui.btOutCOM);
             using Kind = platform::ReceiveEventKind;
             for (const Kind kind : {Kind::QueueOverflow, Kind::Overrun, Kind::Framing, Kind::Parity, Kind::Break,
                                     Kind::HangUp}) {
                 fake.pushInput("a");
                 fake.pushEvent(kind, 2);
             }
             SendMessageA(form.CPDrv->Handle(), WM_TIMER, 1, 0);
             run.shown << ui.mmCOMin->textWithMarks(0, ui.mmCOMin->characterCount());
         }},
        {"poll and drive the lines", false,
         [&] {
             connectCom(0);
             fake.setModemStatus(0x10 | 0x20); // CTS and DSR up, RING and CD down
             ui.cbOpros->setChecked(true);
             form.btOprosClick(ui.btOpros);
             form.btDTRClick(ui.btDTR); // raised
             form.btRTSClick(ui.btRTS); // dropped
         }},
    };
    for (const Step& s : steps) {
        const std::size_t before = boxes.boxes().size();
        s.act();
        QApplication::processEvents();
        if (s.raisesBox && boxes.boxes().size() == before) {
            ADD_FAILURE() << "no box: " << s.name;
            ++run.missedBoxes;
        }
        run.shown << widgetTexts(&form);
        for (const QWidget* w : form.findChildren<QWidget*>())
            run.accessible << w->accessibleName() << w->accessibleDescription();
    }
    for (const msgbox::RecordedBox& b : boxes.boxes())
        run.boxes << b.text << b.caption << b.detailedText;
    form.btStopClick(ui.btStop);
    qputenv("COMLAB_PORTS_DIR", mapWas);
    return run;
}

TEST(Language, ChosenFromTheUserInterfaceLanguages) {
    struct Case {
        QStringList languages;
        UiLanguage expected;
    };
    const Case cases[] = {
        {{"ru-RU", "ru-Cyrl-RU", "ru"}, UiLanguage::Russian},
        {{"ru_RU"}, UiLanguage::Russian},
        {{"C"}, UiLanguage::C},
        {{"POSIX"}, UiLanguage::C},
        {{}, UiLanguage::C},
        {{"en-US", "en-Latn-US", "en"}, UiLanguage::English},
        {{"en-GB", "ru-RU"}, UiLanguage::English},
        {{"de-DE", "de-Latn-DE", "de"}, UiLanguage::English},
        {{"uk-UA"}, UiLanguage::English},
        // A language the window does not speak gives way to the next one the user reads.
        {{"de-DE", "ru-RU"}, UiLanguage::Russian},
        {{"de", "en-US", "ru"}, UiLanguage::English},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.languages.join(QLatin1Char(',')).toStdString());
        EXPECT_EQ(ChooseLanguage(c.languages), c.expected);
    }
}

TEST(Language, EnglishWindowShowsNoRussian) {
    const ComMap map;
    const Translations english(UiLanguage::English);
    const WindowRun run = runWindow(map);
    EXPECT_EQ(run.missedBoxes, 0);
    EXPECT_EQ(cyrillic(run.shown), "");
    EXPECT_EQ(cyrillic(run.menus), "");
    EXPECT_EQ(cyrillic(run.boxes), "");
    EXPECT_EQ(cyrillic(run.accessible), "");
    // The walk saw the window, its menus and its boxes at all.
    EXPECT_TRUE(run.shown.contains(QStringLiteral("btCOMon: Connect")));
    EXPECT_FALSE(run.menus.isEmpty());
    EXPECT_GE(run.boxes.size(), 16);
}

TEST(Language, RussianAndCWindowsShowTheSourceTexts) {
    const ComMap map;
    const WindowRun source = runWindow(map);
    ASSERT_NE(cyrillic(source.shown), "");
    for (const UiLanguage language : {UiLanguage::C, UiLanguage::Russian}) {
        SCOPED_TRACE(language == UiLanguage::C ? "C" : "Russian");
        const Translations translations(language);
        const WindowRun run = runWindow(map);
        EXPECT_EQ(joined(run.shown), joined(source.shown));
        EXPECT_EQ(joined(run.boxes), joined(source.boxes));
        // Qt's own menus follow Russian where Qt's translations are installed, and stay as they were
        // under C.
        if (translations.qtTranslated())
            EXPECT_NE(cyrillic(run.menus), "");
        else
            EXPECT_EQ(joined(run.menus), joined(source.menus));
    }
}

} // namespace
