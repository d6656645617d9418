// SPDX-License-Identifier: GPL-3.0-or-later
// The message-box service: what the recorder captures, and what a real box shows.
#include "MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

QString u(const char* s) {
    return QString::fromUtf8(s);
}

TEST(MessageBox, RecorderCapturesEachBoxAsGiven) {
    struct Case {
        QString text, caption;
        int icon;
        QString details;
    };
    const Case cases[] = {
        {u("Нет соединения с COM-портом."), u("Внимание"), msgbox::IconInformation, QString()},
        {u("Ошибка записи\r\nв порт"), u("Ошибка"), msgbox::IconError, u("COM1 ведёт к /dev/ttyS0\nпричина")},
        {QString(), QString(), msgbox::IconInformation, QString()},
        {u("<b>not markup</b>"), u("x"), 0, QString()},
    };
    msgbox::MessageBoxRecorder rec;
    for (const Case& c : cases)
        msgbox::Show(nullptr, c.text, c.caption, c.icon, c.details);
    ASSERT_EQ(rec.boxes().size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rec.boxes()[i].text, cases[i].text); // "\r\n" kept
        EXPECT_EQ(rec.boxes()[i].caption, cases[i].caption);
        EXPECT_EQ(rec.boxes()[i].icon, cases[i].icon);
        EXPECT_EQ(rec.boxes()[i].detailedText, cases[i].details);
    }
    rec.clear();
    EXPECT_TRUE(rec.boxes().empty());
}

TEST(MessageBox, WhileOpenRunsBeforeShowReturnsAndMayNest) {
    std::vector<QString> order;
    bool timerFired = false;
    msgbox::MessageBoxRecorder rec([&](const msgbox::RecordedBox& box) {
        order.push_back(QStringLiteral("open ") + box.text);
        // The way a real box's loop would deliver a due timer, which may raise a box of its own.
        QTimer::singleShot(0, [&timerFired, text = box.text] {
            timerFired = true;
            if (text == QLatin1String("outer"))
                msgbox::Show(nullptr, QStringLiteral("inner"), QString(), msgbox::IconError);
        });
        QCoreApplication::sendPostedEvents();
        QApplication::processEvents();
        order.push_back(QStringLiteral("close ") + box.text);
    });
    msgbox::Show(nullptr, QStringLiteral("outer"), QString(), msgbox::IconInformation);
    EXPECT_TRUE(timerFired);
    const std::vector<QString> expected{"open outer", "open inner", "close inner", "close outer"};
    EXPECT_EQ(order, expected);
    ASSERT_EQ(rec.boxes().size(), 2u);
    EXPECT_EQ(rec.boxes()[1].text, QStringLiteral("inner"));
}

TEST(MessageBox, RecordersNestAndRestoreTheOuterOne) {
    msgbox::MessageBoxRecorder outer;
    {
        msgbox::MessageBoxRecorder inner;
        msgbox::Show(nullptr, QStringLiteral("a"), QString(), msgbox::IconError);
        EXPECT_EQ(inner.boxes().size(), 1u);
        EXPECT_TRUE(outer.boxes().empty());
    }
    msgbox::Show(nullptr, QStringLiteral("b"), QString(), msgbox::IconError);
    ASSERT_EQ(outer.boxes().size(), 1u);
    EXPECT_EQ(outer.boxes()[0].text, QStringLiteral("b"));
}

// A real box: modal, one OK button, the caption and icon asked for, and "\r\n" as one line break.
// Details, when given, are behind the box's own button for them.
TEST(MessageBox, RealBoxShowsTextCaptionIconAndOneOkButton) {
    struct Case {
        int flag;
        QMessageBox::Icon icon;
        const char* details;
    };
    for (const Case& c : {Case{msgbox::IconError, QMessageBox::Critical, "подробности"},
                          Case{msgbox::IconInformation, QMessageBox::Information, ""}}) {
        SCOPED_TRACE(c.flag);
        QWidget parent;
        parent.show();
        bool seen = false;
        QString text, title, details;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int okButtons = -1;
        bool isOk = false, modal = false, plain = false;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll.stop();
            seen = true;
            text = box->text();
            title = box->windowTitle();
            details = box->detailedText();
            icon = box->icon();
            okButtons = 0;
            for (QAbstractButton* b : box->buttons())
                okButtons += box->buttonRole(b) != QMessageBox::ActionRole; // the details button
            isOk = box->standardButton(box->buttons().value(0)) == QMessageBox::Ok;
            modal = box->isModal();
            plain = box->textFormat() == Qt::PlainText;
            box->button(QMessageBox::Ok)->click();
        });
        poll.start();
        // A guard so a box that never appears cannot hang the run.
        QTimer::singleShot(20000, &parent, [] {
            if (auto* w = QApplication::activeModalWidget())
                w->close();
        });
        msgbox::Show(&parent, u("Первая строка\r\nвторая <i>строка</i>"), u("Внимание"), c.flag,
                     u(c.details));
        ASSERT_TRUE(seen);
        EXPECT_EQ(text, u("Первая строка\nвторая <i>строка</i>"));
        EXPECT_EQ(details, u(c.details));
        EXPECT_EQ(title, u("Внимание"));
        EXPECT_EQ(icon, c.icon);
        EXPECT_EQ(okButtons, 1);
        EXPECT_TRUE(isOk);
        EXPECT_TRUE(modal);
        EXPECT_TRUE(plain);
    }
}

} // namespace
