// SPDX-License-Identifier: GPL-3.0-or-later
// The window's day-to-day collaborators: the settings kept between runs, the send line (Enter, history,
// line end), sending a file, the break and the log's time stamps. Each lives in a class of its own; the
// window owns and wires them here.
#include "Unit1.h"

#include "BreakControl.h"
#include "ExchangeLog.h"
#include "FileSendPanel.h"
#include "SendLine.h"
#include "SettingsStore.h"
#include "TimeStamps.h"
#include "ui_Unit1.h"

#include <QAction>

void TForm1::setupDaily() {
    sendLine = new SendLine(ui->edCOMout, ui->btOutCOM, ui->glOut, this);
    fileSend = new FileSendPanel(this);
    lineBreak = new BreakControl(this);
    timeStamps = new TimeStamps(ui->mmCOMin, this);
    // The log's menu: how it shows (the time stamps), then the file beside saving and recording.
    ui->mmCOMin->setExtraContextActions({timeStamps->action(), fileSend->acSendFile, acSaveLog, acRecord});
    // Reads and writes nothing until the program asks.
    settings = new SettingsStore(this);
}

void TForm1::followConnection(bool open) {
    fileSend->followConnection(open);
    lineBreak->followConnection(open);
}
