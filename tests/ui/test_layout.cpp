// SPDX-License-Identifier: GPL-3.0-or-later
// The window as built from its form: every control's kind, caption, items and starting state, and a
// layout that fits 696 x 481 without clipping any caption, in Russian and in English.
#include "ExchangeLog.h"
#include "Language.h"
#include "ui_Unit1.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabWidget>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace {

QString u(const char* s) {
    return QString::fromUtf8(s);
}

struct Window {
    QWidget w;
    Ui::Form1 ui;
    Window() { ui.setupUi(&w); }
    template <class T> T* find(const char* name) {
        return w.findChild<T*>(QString::fromLatin1(name), Qt::FindChildrenRecursively);
    }
};

enum Kind { Label, Button, Check, Radio, Group, Edit, ReadOnlyEdit };
enum State { Off, On, Any };

struct Control {
    const char* name;
    Kind kind;
    const char* text;
    bool enabled = true;
    State checked = Any;
};

// Everything with a caption or a starting text, page by page.
const Control kControls[] = {
    // header and status strip
    {"Label9", Label, " Программа для работы с последовательным портом. Вер. 1.2 "},
    {"lbCOMs", Label, "передача"},
    {"Label25", Label, " прием "},
    {"lbCOM", Label, "нет соединения"},
    // settings
    {"GroupBox1", Group, "Настройки COM-порта"},
    {"Label1", Label, " COM-порт "},
    {"CheckBOD", Check, "Произвольная", true, Off},
    {"Label22", Label, "Произв."},
    {"Label32", Label, "Стандарт."},
    {"Label2", Label, " Скорость, бод "},
    {"edBOD", Edit, ""},
    {"Label3", Label, " Формат, бит "},
    {"Label8", Label, " Стоповые биты "},
    {"Label4", Label, " Контроль "},
    {"Label11", Label, " Управление потоком "},
    {"btTek", Button, "Тек. состояние"},
    {"btTekClr", Button, "Очистить"},
    {"btCOMon", Button, "Соединить"},
    {"btCOMoff", Button, "Разъединить", false},
    // exchange page
    {"Label5", Label, " Протокол обмена "},
    {"GroupBox6", Group, "Вид принимаемой информации"},
    {"rbCOMinHex", Radio, "HEX", true, Off},
    {"rbCOMinSym", Radio, "Симв.", true, On},
    {"cbInHexSym", Check, "дубль симв.", true, Off},
    {"cbInSymHex", Check, "дубль hex", true, Off},
    {"GroupBox2", Group, "Счетчик принятых байт"},
    {"cbCountOn", Check, "Считать", true, Off},
    {"lbCount", Label, "0"},
    {"btCountClr", Button, "Сброс"},
    {"btCOMinClr", Button, "Очистить"},
    {"Label7", Label, " Информация на вывод "},
    {"edCOMout", Edit, ""},
    {"Label14", Label, " Спецсимволы "},
    {"btWrite", Button, "Ввод"},
    {"RadioGroup2", Group, "Вид передаваемой информации"},
    {"rbOutHex", Radio, "HEX", true, Off},
    {"rbOutSym", Radio, "Симв.", true, On},
    {"cbOutHexSym", Check, "дубль симв.", true, Off},
    {"cbOutSymHex", Check, "дубль hex", true, Off},
    {"btOutCOM", Button, "Передать"},
    // test page
    {"GroupBox3", Group, "Тест"},
    {"Label15", Label, " Код в линию "},
    {"lbOut", Label, "00"},
    {"Label16", Label, " Ответ с линии "},
    {"lbIn", Label, "00"},
    {"Label6", Label, " В линию "},
    {"Label23", Label, "С линии "},
    {"cbOutLog", Check, "Log", true, Off},
    {"cbInLog", Check, "Log", true, Off},
    {"btOutClr", Button, "Clr"},
    {"btInClr", Button, "Clr"},
    {"Label19", Label, " Цикл теста "},
    {"lbCikl", Label, "1"},
    {"Label21", Label, "Счетчик ошибок "},
    {"lbErr", Label, "0"},
    {"btTest", Button, "Пуск", false},
    {"btTestClr", Button, "Сброс"},
    {"GroupBox4", Group, "Заглушка"},
    {"cbZag", Check, "Выводить в окно ", true, Off},
    {"btmmZagClr", Button, "Очистка"},
    {"btZag", Button, "Пуск"},
    {"GroupBox5", Group, "Последовательность"},
    {"Label24", Label, " Код в линию "},
    {"edPos", Edit, "55"},
    {"lbPos", Label, "55H"},
    {"btPos", Button, "Пуск"},
    {"GroupBox8", Group, "Массив"},
    {"Label30", Label, "Размер массива, байт"},
    {"edMass", Edit, ""},
    {"Label31", Label, "Номер"},
    {"edMassN", ReadOnlyEdit, ""},
    {"Label36", Label, "Код"},
    {"edMassC", ReadOnlyEdit, ""},
    {"Label37", Label, "Сумма"},
    {"edMassS", ReadOnlyEdit, ""},
    {"btMassStart", Button, "Пуск"},
    {"btMassClr", Button, "Очистить"},
    {"btStop", Button, "Останов", false},
    {"Label38", Label, "Текущий режим"},
    {"lbTestN", Label, "  "},
    // modem-line page
    {"GroupBox7", Group, "Установка выходов"},
    {"Label28", Label, " DTR "},
    {"Label29", Label, " RTS "},
    {"btDTR", Button, "DTR", false},
    {"btRTS", Button, "RTS", false},
    {"Label17", Label, "Установленные состояния"},
    {"Label18", Label, "DTR"},
    {"lbDTR", Label, "  "},
    {"Label20", Label, "RTS"},
    {"lbRTS", Label, "    "},
    {"GroupBox9", Group, "Состояние входов"},
    {"Label12", Label, " CTS "},
    {"lbCTS", Label, " "},
    {"Label13", Label, " DSR "},
    {"lbDSR", Label, " "},
    {"Label26", Label, "RING "},
    {"lbRING", Label, " "},
    {"Label27", Label, " CD "},
    {"lbCD", Label, " "},
    {"cbOpros", Check, "Периодический", true, Off},
    {"btOpros", Button, "Опрос"},
};

TEST(Layout, ControlsHaveTheirKindCaptionAndStartState) {
    Window win;
    for (const Control& c : kControls) {
        SCOPED_TRACE(c.name);
        QWidget* w = win.find<QWidget>(c.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->isEnabled(), c.enabled);
        QString text;
        switch (c.kind) {
        case Label:
            ASSERT_TRUE(qobject_cast<QLabel*>(w));
            text = qobject_cast<QLabel*>(w)->text();
            break;
        case Button:
            ASSERT_TRUE(qobject_cast<QPushButton*>(w));
            text = qobject_cast<QPushButton*>(w)->text();
            break;
        case Check:
            ASSERT_TRUE(qobject_cast<QCheckBox*>(w));
            text = qobject_cast<QCheckBox*>(w)->text();
            break;
        case Radio:
            ASSERT_TRUE(qobject_cast<QRadioButton*>(w));
            text = qobject_cast<QRadioButton*>(w)->text();
            break;
        case Group:
            ASSERT_TRUE(qobject_cast<QGroupBox*>(w));
            text = qobject_cast<QGroupBox*>(w)->title();
            break;
        case Edit:
        case ReadOnlyEdit: {
            auto* e = qobject_cast<QLineEdit*>(w);
            ASSERT_TRUE(e);
            text = e->text();
            EXPECT_EQ(e->isReadOnly(), c.kind == ReadOnlyEdit);
            break;
        }
        }
        EXPECT_EQ(text, u(c.text));
        if (c.checked != Any) {
            auto* b = qobject_cast<QAbstractButton*>(w);
            ASSERT_TRUE(b);
            EXPECT_EQ(b->isChecked(), c.checked == On);
        }
    }
    EXPECT_TRUE(win.w.windowTitle().isEmpty());
    // A credit line is there; its wording is ours.
    ASSERT_NE(win.find<QLabel>("Label10"), nullptr);
    EXPECT_FALSE(win.find<QLabel>("Label10")->text().trimmed().isEmpty());
}

struct Combo {
    const char* name;
    QStringList items;
    int index;
    bool editable = false;
    bool enabled = true;
};

QStringList specialItems() {
    QStringList l{u("00 - \\00 (NUL)")};
    for (int i = 1; i <= 6; ++i)
        l << QStringLiteral("%1 - \\%1").arg(i, 2, 16, QLatin1Char('0'));
    l << "07 - \\07 (BEL)"
      << "08 - \\08 (BS)"
      << "09 - \\09 (HT)"
      << "0A - \\0A (LF)"
      << "0B - \\0B (VT)"
      << "0C - \\0C (FF)"
      << "0D - \\0D (CR)"
      << "0E - \\0E (SO)"
      << "0F - \\0F (SI)"
      << "10 - \\10 "
      << "11 - \\11 (DC1)"
      << "12 - \\12 (DC2)"
      << "13 - \\13 (CD3)"
      << "14 - \\14 (DC4)"
      << "15 - \\15"
      << "16 - \\16"
      << "17 - \\17"
      << "18 - \\18 (CAN)"
      << "19 - \\19 (EM)"
      << "1A - \\1A"
      << "1B - \\1B (ESC)"
      << "1C - \\1C"
      << "1D - \\1D"
      << "1E - \\1E"
      << "1F - \\1F"
      << "\\   - \\\\"
      << "FF - \\FF (DEL)";
    return l;
}

QStringList comNames() {
    QStringList l;
    for (int i = 1; i <= 16; ++i)
        l << QStringLiteral("COM%1").arg(i);
    return l;
}

TEST(Layout, ComboBoxesHoldTheirItemsAndStartIndex) {
    const Combo combos[] = {
        {"cbCOM", comNames(), 0},
        {"cbBOD",
         {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000", "57600",
          "115200", "128000", "256000 ", "31250 midi"},
         6},
        {"cbFORM", {"5", "6", "7", "8"}, 3},
        {"cbSTOP", {"1", "1,5", "2"}, 0},
        {"cbCHECK",
         {u("None   (без контроля)"), u("Odd     (нечет)"), u("Even   (чет)"), u("Mark   (\"1\")"),
          u("Space (\"0\")")},
         0},
        {"cbCONTROL",
         {u("None  (нет, RTS выкл.)"), u("None  (нет, RTS вкл.)"), u("RTS/CTS (аппаратн.)"),
          u("Xon/Xoff   (прогр.)")},
         0},
        {"cbSpecS", specialItems(), -1},
        {"cbDTRd", {u("Выкл. (OFF) +12 V"), u("Вкл.    (ON)  - 12 V")}, 1, true, false},
        {"cbRTSd", {u("Выкл. (OFF) +12 V"), u("Вкл.    (ON)   -12 V")}, 0, true, false},
    };
    Window win;
    for (const Combo& c : combos) {
        SCOPED_TRACE(c.name);
        auto* cb = win.find<QComboBox>(c.name);
        ASSERT_NE(cb, nullptr);
        QStringList items;
        for (int i = 0; i < cb->count(); ++i)
            items << cb->itemText(i);
        EXPECT_EQ(items, c.items);
        EXPECT_EQ(cb->currentIndex(), c.index);
        EXPECT_EQ(cb->isEditable(), c.editable);
        EXPECT_EQ(cb->isEnabled(), c.enabled);
        if (c.editable) {
            EXPECT_EQ(cb->insertPolicy(), QComboBox::NoInsert);
        }
    }
    EXPECT_EQ(specialItems().size(), 34);
}

TEST(Layout, MemosHaveTheirModeAndScrollBars) {
    struct Memo {
        const char* name;
        bool readOnly;
        Qt::ScrollBarPolicy horizontal, vertical;
    };
    constexpr auto on = Qt::ScrollBarAlwaysOn, off = Qt::ScrollBarAlwaysOff;
    const Memo memos[] = {
        {"mmTek", true, on, on},  {"mmCOMin", false, on, on}, {"mmOut", false, off, on},
        {"mmIn", false, off, on}, {"mmZag", false, off, on},  {"Memo1", true, off, off},
    };
    Window win;
    for (const Memo& m : memos) {
        SCOPED_TRACE(m.name);
        auto* area = win.find<QAbstractScrollArea>(m.name);
        ASSERT_NE(area, nullptr);
        EXPECT_EQ(area->horizontalScrollBarPolicy(), m.horizontal);
        EXPECT_EQ(area->verticalScrollBarPolicy(), m.vertical);
        // The logs of received and sent data are ExchangeLogs; the two fixed texts plain text edits.
        if (auto* log = qobject_cast<ExchangeLog*>(area)) {
            EXPECT_FALSE(m.readOnly);
            EXPECT_TRUE(log->text().isEmpty());
            continue;
        }
        auto* e = qobject_cast<QPlainTextEdit*>(area);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->isReadOnly(), m.readOnly);
        if (QLatin1String(m.name) != QLatin1String("Memo1")) {
            EXPECT_TRUE(e->toPlainText().isEmpty());
        }
    }
    for (QWidget* log : {static_cast<QWidget*>(win.ui.mmCOMin), static_cast<QWidget*>(win.ui.mmOut),
                         static_cast<QWidget*>(win.ui.mmIn), static_cast<QWidget*>(win.ui.mmZag)})
        EXPECT_TRUE(log->inherits("ExchangeLog")) << log->objectName().toStdString();
    EXPECT_EQ(win.ui.Memo1->toPlainText().split(QLatin1Char('\n')),
              QStringList({u("Для задания необходимого "), u("состояния выводов"),
                           u("DTR или RTS нужно выбрать"), u("(изменить) значение "), u("в выпадающем меню"),
                           u("и нажать активизирущуюся"), u("кнопку.")}));
}

TEST(Layout, FontsOfTheEmphasisedLabels) {
    Window win;
    struct F {
        QWidget* w;
        bool bold, italic;
        int pixels; // 0: the application's size
    };
    const F fonts[] = {
        {win.ui.Label9, true, false, 13}, {win.ui.Label17, false, true, 13}, {win.ui.lbTestN, true, false, 0},
        {win.ui.Label18, true, false, 0}, {win.ui.lbDTR, true, false, 0},    {win.ui.Label20, true, false, 0},
        {win.ui.lbRTS, true, false, 0},   {win.ui.Label1, false, false, 0},
    };
    for (const F& f : fonts) {
        SCOPED_TRACE(f.w->objectName().toStdString());
        f.w->ensurePolished();
        EXPECT_EQ(f.w->font().bold(), f.bold);
        EXPECT_EQ(f.w->font().italic(), f.italic);
        if (f.pixels)
            EXPECT_EQ(QFontInfo(f.w->font()).pixelSize(), f.pixels);
        else
            EXPECT_EQ(f.w->font().pointSizeF(), QApplication::font().pointSizeF());
    }
}

TEST(Layout, NotebookPagesAndLamps) {
    Window win;
    ASSERT_EQ(win.ui.tnMain->count(), 3);
    EXPECT_EQ(win.ui.tnMain->tabText(0), u("Обмен"));
    EXPECT_EQ(win.ui.tnMain->tabText(1), u("Тест"));
    EXPECT_EQ(win.ui.tnMain->tabText(2), u("Доп. Установки"));
    EXPECT_EQ(win.ui.tnMain->currentIndex(), 0);
    EXPECT_TRUE(win.ui.tnMain->widget(0)->isAncestorOf(win.ui.mmCOMin));
    EXPECT_TRUE(win.ui.tnMain->widget(1)->isAncestorOf(win.ui.btStop));
    EXPECT_TRUE(win.ui.tnMain->widget(2)->isAncestorOf(win.ui.btOpros));

    win.w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&win.w));
    struct Lamp {
        QWidget* panel;
        TShape* shape;
    };
    for (const Lamp& l :
         {Lamp{win.ui.plCOMTxled, win.ui.spCOMTxled}, Lamp{win.ui.plCOMRxled, win.ui.spCOMRxled}}) {
        SCOPED_TRACE(l.shape->objectName().toStdString());
        EXPECT_EQ(l.panel->size(), QSize(12, 12));
        EXPECT_EQ(l.shape->size(), QSize(8, 8));
        EXPECT_EQ(l.shape->parentWidget(), l.panel);
        EXPECT_EQ(l.shape->brushColor(), QColor(0x80, 0x80, 0x80));
        EXPECT_TRUE(win.ui.plCOM->isAncestorOf(l.panel));
    }
    EXPECT_EQ(win.ui.spCOMTxled->toolTip(), u("Зеленый -  когда идет запрос на COM-порт"));
    win.ui.spCOMRxled->setBrushColor(QColor(0xA6, 0xCA, 0xF0));
    EXPECT_EQ(win.ui.spCOMRxled->brushColor(), QColor(0xA6, 0xCA, 0xF0));
    // The painted lamp shows the brush, not just the property.
    const QImage img = win.ui.spCOMRxled->grab().toImage();
    EXPECT_EQ(QColor(img.pixel(img.width() / 2, img.height() / 2)), QColor(0xA6, 0xCA, 0xF0));
}

TEST(Layout, RadioPairsAreIndependentChoices) {
    Window win;
    win.ui.rbCOMinHex->click();
    EXPECT_TRUE(win.ui.rbCOMinHex->isChecked());
    EXPECT_FALSE(win.ui.rbCOMinSym->isChecked());
    EXPECT_TRUE(win.ui.rbOutSym->isChecked());
    EXPECT_FALSE(win.ui.rbOutHex->isChecked());
    win.ui.rbOutHex->click();
    EXPECT_TRUE(win.ui.rbOutHex->isChecked());
    EXPECT_FALSE(win.ui.rbOutSym->isChecked());
    EXPECT_TRUE(win.ui.rbCOMinHex->isChecked());
    win.ui.rbCOMinSym->click();
    EXPECT_TRUE(win.ui.rbOutHex->isChecked());
    EXPECT_FALSE(win.ui.rbCOMinHex->isChecked());
}

TEST(Layout, WindowOpensAtItsSizeWithAreasInProportion) {
    Window win;
    win.w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&win.w));
    EXPECT_EQ(win.w.size(), QSize(696, 481));

    const QRect status = win.ui.plCOM->geometry();
    EXPECT_EQ(status.height(), 25);
    EXPECT_EQ(status.bottom(), win.w.height() - 1);
    EXPECT_EQ(status.width(), win.w.width());

    const QRect notebook(win.ui.tnMain->mapTo(&win.w, QPoint(0, 0)), win.ui.tnMain->size());
    const QRect settings(win.ui.GroupBox1->mapTo(&win.w, QPoint(0, 0)), win.ui.GroupBox1->size());
    EXPECT_GE(notebook.width(), 440);
    EXPECT_LE(notebook.width(), 500);
    EXPECT_GE(settings.width(), 170);
    EXPECT_LE(settings.width(), 215);
    EXPECT_GE(settings.height(), 380);
    EXPECT_LT(notebook.right(), settings.left());
    EXPECT_LT(win.ui.Label9->geometry().bottom(), settings.top());
    EXPECT_LT(notebook.bottom(), status.top());
    EXPECT_LT(settings.bottom(), status.top());
    // The exchange log is the page's main area.
    EXPECT_GE(win.ui.mmCOMin->height(), win.ui.tnMain->widget(0)->height() / 3);
    EXPECT_GE(win.ui.mmCOMin->width(), win.ui.tnMain->widget(0)->width() * 9 / 10);
}

void expectNoCaptionClipped() {
    Window win;
    win.w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&win.w));
    for (int page = 0; page < win.ui.tnMain->count(); ++page) {
        win.ui.tnMain->setCurrentIndex(page);
        QApplication::processEvents();
        for (QWidget* w : win.w.findChildren<QWidget*>()) {
            if (!w->isVisible() || !(qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)))
                continue;
            if (qobject_cast<QAbstractButton*>(w) && w->parent() && w->parent()->inherits("QTabBar"))
                continue;
            SCOPED_TRACE(w->objectName().toStdString());
            EXPECT_GE(w->width(), w->sizeHint().width());
            EXPECT_GE(w->height(), w->minimumSizeHint().height());
        }
        // Every list item fits the closed combo box, so a chosen setting is read in full.
        for (QComboBox* cb : win.w.findChildren<QComboBox*>()) {
            if (!cb->isVisible())
                continue;
            SCOPED_TRACE(cb->objectName().toStdString());
            QStyleOptionComboBox opt;
            opt.initFrom(cb);
            opt.editable = cb->isEditable();
            const QRect field =
                cb->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, cb);
            int widest = 0;
            for (int i = 0; i < cb->count(); ++i)
                widest = std::max(widest, cb->fontMetrics().horizontalAdvance(cb->itemText(i)));
            EXPECT_GE(field.width(), widest);
        }
        for (QGroupBox* g : win.w.findChildren<QGroupBox*>()) {
            if (!g->isVisible())
                continue;
            SCOPED_TRACE(g->objectName().toStdString());
            EXPECT_GE(g->width(), g->fontMetrics().horizontalAdvance(g->title()) + 8);
        }
    }
    EXPECT_EQ(win.w.size(), QSize(696, 481));
}

// In the source language and in English.
TEST(Layout, NoCaptionIsClippedOnAnyPage) {
    for (const bool english : {false, true}) {
        SCOPED_TRACE(english ? "English" : "Russian");
        std::optional<Translations> translations;
        if (english)
            translations.emplace(UiLanguage::English);
        expectNoCaptionClipped();
    }
}

} // namespace
