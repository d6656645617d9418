// SPDX-License-Identifier: GPL-3.0-or-later
// A window whose COM1 leads where the test says, through a port map folder of the test's own: a
// pseudo-terminal, or a network port's URL.
#pragma once

#include "MessageBox.h"
#include "Unit1.h"
#include "event_wait.h"
#include "ui_Unit1.h"

#include <QByteArray>
#include <QLabel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

class Com1WindowTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QByteArray savedPortsDir = qgetenv("COMLAB_PORTS_DIR");
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("COMLAB_PORTS_DIR", dir.path().toLocal8Bit());
        form = std::make_unique<TForm1>();
        form->ui->cbCOM->setCurrentIndex(0);
    }
    void TearDown() override {
        form.reset();
        qputenv("COMLAB_PORTS_DIR", savedPortsDir);
    }

    // Lets the window run until the exchange log ends with `tail` (a few seconds at most).
    void waitForLogEnding(const QString& tail) {
        comlab::test::runUntil([&] { return form->ui->mmCOMin->text().endsWith(tail); }, 5000);
    }
    // Lets the window run until the port is lost, then checks what the user sees: the port closed, what
    // came before still in the log, the label saying the connection is lost, and no box.
    void expectLostWithLogEnding(const QString& tail) {
        comlab::test::runUntil([&] { return !form->CPDrv->IsOpen(); }, 5000);
        EXPECT_FALSE(form->CPDrv->IsOpen());
        const QString log = form->ui->mmCOMin->text();
        EXPECT_TRUE(log.endsWith(tail)) << log.toStdString();
        EXPECT_TRUE(form->ui->lbCOM->text().startsWith(QStringLiteral("Связь потеряна: ")))
            << form->ui->lbCOM->text().toStdString();
        EXPECT_TRUE(boxes.boxes().empty());
    }

    // Points COM1 at `target`, replacing an earlier mapping.
    void mapCom1(const std::string& target) {
        const std::filesystem::path link = std::filesystem::path(dir.path().toStdString()) / "COM1";
        std::filesystem::remove(link);
        std::filesystem::create_symlink(target, link);
    }
};
