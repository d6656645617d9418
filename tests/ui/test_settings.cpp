// SPDX-License-Identifier: GPL-3.0-or-later
// Settings kept between runs: what one window saves, the next one shows; a missing, damaged or
// unreadable file gives the designed window; the file is written only when the program asks, at a
// connect and at the close, and reset removes it. The test process has a configuration folder of its
// own (XDG_CONFIG_HOME, set by the test main).
#include "FileSendPanel.h"
#include "MessageBox.h"
#include "SendLine.h"
#include "SettingsStore.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "ui_Unit1.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

QString u(const char* s) {
    return QString::fromUtf8(s);
}

// Everything the store keeps, read from the window's controls.
QStringList kept(TForm1& form) {
    Ui::Form1& ui = *form.ui;
    QStringList out;
    for (QComboBox* c : {ui.cbCOM, ui.cbBOD, ui.cbFORM, ui.cbSTOP, ui.cbCHECK, ui.cbCONTROL})
        out << c->objectName() + u("=") + QString::number(c->currentIndex());
    for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
             ui.CheckBOD, ui.rbCOMinHex, ui.rbCOMinSym, ui.cbInHexSym, ui.cbInSymHex, ui.rbOutHex,
             ui.rbOutSym, ui.cbOutHexSym, ui.cbOutSymHex, ui.cbCountOn})
        out << b->objectName() + (b->isChecked() ? u("=on") : u("=off"));
    out << u("edBOD=") + ui.edBOD->text() << u("page=") + QString::number(ui.tnMain->currentIndex())
        << u("lineEnd=") + QString::number(form.sendLine->lineEnd())
        << u("history=") + form.sendLine->history().entries().join(u("|"))
        << u("pacing=") + QString::number(form.fileSend->pacingIndex());
    return out;
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        comm.addDevice("\\\\.\\COM1");
        QFile::remove(path);
    }
    void TearDown() override { QDir(QFileInfo(path).path()).removeRecursively(); }

    void writeFile(const QByteArray& content) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

    platform::FakeComm comm;
    platform::ScopedCommDevice device{comm};
    msgbox::MessageBoxRecorder boxes;
    const QString path = SettingsStore::defaultPath();
};

TEST_F(Settings, TheFileLivesInTheTestsOwnConfigurationFolder) {
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    ASSERT_FALSE(config.isEmpty());
    EXPECT_NE(config, QDir::homePath() + u("/.config"));
    EXPECT_EQ(path, config + u("/comlab/comlab.conf"));
}

TEST_F(Settings, WhatOneWindowSavesTheNextShows) {
    QStringList saved;
    QRect geometry;
    {
        TForm1 a;
        Ui::Form1& ui = *a.ui;
        ui.cbCOM->setCurrentIndex(3);
        ui.CheckBOD->setChecked(true);
        ui.edBOD->setText(u("250000"));
        ui.cbBOD->setCurrentIndex(12);
        ui.cbFORM->setCurrentIndex(2);
        ui.cbSTOP->setCurrentIndex(2);
        ui.cbCHECK->setCurrentIndex(4);
        ui.cbCONTROL->setCurrentIndex(2);
        ui.tnMain->setCurrentIndex(2);
        ui.rbCOMinHex->setChecked(true);
        ui.cbInHexSym->setChecked(true);
        ui.rbOutHex->setChecked(true);
        ui.cbOutSymHex->setChecked(true);
        ui.cbCountOn->setChecked(true);
        a.sendLine->setLineEnd(SendLine::CrLf);
        for (const char* line : {"AT", "ATI", "привет \\0D", "a=b; c|d"})
            a.sendLine->history().add(u(line));
        a.fileSend->setPacingIndex(3);
        a.setGeometry(120, 90, 800, 560);
        a.show();
        geometry = a.geometry();
        saved = kept(a);
        ASSERT_TRUE(a.settings->save());
    }
    TForm1 b;
    const QStringList fresh = kept(b);
    EXPECT_NE(fresh, saved);
    b.settings->load();
    EXPECT_EQ(kept(b), saved);
    b.show();
    EXPECT_EQ(b.size(), geometry.size());
}

TEST_F(Settings, AMissingOrDamagedFileGivesTheDesignedWindow) {
    QStringList designed;
    {
        TForm1 fresh;
        designed = kept(fresh);
    }
    QByteArray garbage(4096, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 7919) % 251);
    struct Case {
        const char* name;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"no file", [] {}},
        {"binary garbage", [&] { writeFile(garbage); }},
        {"values out of range or of the wrong kind",
         [&] {
             writeFile(
                 "[port]\ncom=99\nrate=-1\ndataBits=abc\nstopBits=1.5\nparity=\nflowControl=@Invalid()\n"
                 "customRateOn=maybe\ncustomRate=12ab\n[window]\npage=7\ngeometry=junk\n"
                 "[exchange]\nreceiveHex=2\ncount=yes\n[send]\nlineEnd=9\n[fileSend]\npacing=100\n");
         }},
        {"a folder in its place", [&] { QDir().mkpath(path); }},
        {"unreadable",
         [&] {
             writeFile("[port]\ncom=3\n");
             QFile::setPermissions(path, QFileDevice::Permissions());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        {
            TForm1 w;
            w.settings->load();
            // root reads any file: the unreadable case then holds a real setting
            if (QLatin1String(c.name) != QLatin1String("unreadable") || !QFileInfo(path).isReadable()) {
                EXPECT_EQ(kept(w), designed);
            }
            // A damaged file is replaced by a good one at the next save.
            if (QFileInfo(path).isFile()) {
                QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
                w.ui->cbCOM->setCurrentIndex(5);
                EXPECT_TRUE(w.settings->save());
                TForm1 again;
                again.settings->load();
                EXPECT_EQ(again.ui->cbCOM->currentIndex(), 5);
            }
        }
        QDir(path).removeRecursively();
        QFile::remove(path);
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Settings, WrittenOnlyWhenAskedAtAConnectAndAtTheCloseAndResetRemovesIt) {
    {
        TForm1 quiet; // a window the program did not ask to keep its settings: tests build these
        quiet.ui->cbFORM->setCurrentIndex(1);
        quiet.btCOMonClick(quiet.ui->btCOMon);
        quiet.show();
        quiet.close();
    }
    EXPECT_FALSE(QFileInfo::exists(path));

    {
        TForm1 w;
        w.settings->setAutoSave(true);
        w.show();
        w.ui->cbFORM->setCurrentIndex(2);
        w.ui->btCOMon->click(); // a connect that works is saved at once
        ASSERT_TRUE(w.CPDrv->IsOpen());
        EXPECT_TRUE(QFileInfo::exists(path));
        w.ui->tnMain->setCurrentIndex(1);
        w.close();
    }
    {
        TForm1 next;
        next.settings->load();
        EXPECT_EQ(next.ui->cbFORM->currentIndex(), 2);
        EXPECT_EQ(next.ui->tnMain->currentIndex(), 1);
    }
    EXPECT_TRUE(SettingsStore::reset());
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(SettingsStore::reset()); // nothing to remove is no failure
}

} // namespace
