// SPDX-License-Identifier: GPL-3.0-or-later
// A window connected to the fake device in exchange mode, received bytes shown as characters and the log
// empty: what tests of the exchange log's receive path start from.
#pragma once

#include "ExchangeLog.h"
#include "MessageBox.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "platform/window.h"
#include "ui_Unit1.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

class ExchangeWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        comm.addDevice("\\\\.\\COM1");
        form = std::make_unique<TForm1>();
        form->show();
        form->btCOMonClick(form->ui->btCOMon);
        ASSERT_TRUE(form->CPDrv->IsOpen());
        form->ui->rbCOMinSym->setChecked(true);
        form->ui->cbInSymHex->setChecked(false);
        // A send puts the window in exchange mode, where the log shows what comes.
        form->ui->rbOutSym->setChecked(true);
        form->ui->edCOMout->setText(QStringLiteral("x"));
        form->btOutCOMClick(form->ui->btOutCOM);
        log()->clearLog();
    }

    ExchangeLog* log() { return form->ui->mmCOMin; }
    // One poll tick of the driver, and the log's view brought up to date.
    void tick() {
        SendMessageA(form->CPDrv->Handle(), WM_TIMER, 1, 0);
        log()->flushView();
    }
    static QByteArray file(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    platform::FakeComm comm;
    platform::ScopedCommDevice device{comm};
    msgbox::MessageBoxRecorder boxes;
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
};
