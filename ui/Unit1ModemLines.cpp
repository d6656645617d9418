// SPDX-License-Identifier: GPL-3.0-or-later
// The modem-line page: the four input lines read once or every half second, and DTR and RTS driven
// in two steps (pick a state, then press the line's button).
#include "Unit1.h"

#include "ui_Unit1.h"

#include <QTimer>

namespace {

QString lineText(TLineStatus lines, TLineStatus bit) {
    return (lines & bit) ? TForm1::tr("+12 В") : TForm1::tr("-12 В (воздух)");
}

// The label text for the state applied to an output line; item 0 raises it, item 1 drops it.
QString appliedText(bool raised) {
    return raised ? TForm1::tr("+12 В (выкл)") : TForm1::tr("-12 В (вкл)");
}

} // namespace

void TForm1::ShowInputLines() {
    // One query for all four labels, so they show the same moment.
    const TLineStatus lines = CPDrv->ReadModemLines();
    ui->lbCTS->setText(lineText(lines, lsCTS));
    ui->lbDSR->setText(lineText(lines, lsDSR));
    ui->lbRING->setText(lineText(lines, lsRING));
    ui->lbCD->setText(lineText(lines, lsCD));
}

void TForm1::btOprosClick(QObject*) {
    if (PollingOn) {
        // Stops whatever the check box says now.
        ui->btOpros->setText(tr("Опрос"));
        PollingOn = false;
        EnableTimer(trOpros, false);
    } else if (ui->cbOpros->isChecked()) {
        ui->btOpros->setText(tr("Остановить"));
        PollingOn = true;
        ShowInputLines();
        EnableTimer(trOpros, true);
    } else {
        ShowInputLines();
    }
}

void TForm1::trOprosTimer(QObject*) {
    ShowInputLines();
}

void TForm1::cbDTRdChange(QObject*) {
    ui->btDTR->setEnabled(true);
}

void TForm1::cbRTSdChange(QObject*) {
    ui->btRTS->setEnabled(true);
}

void TForm1::btDTRClick(QObject*) {
    // With the port closed the driver drives nothing, but the label still records the choice.
    switch (ui->cbDTRd->currentIndex()) {
    case 0:
        CPDrv->SetDtrLine(true);
        ui->lbDTR->setText(appliedText(true));
        break;
    case 1:
        CPDrv->SetDtrLine(false);
        ui->lbDTR->setText(appliedText(false));
        break;
    default:
        break; // typed text that names no state
    }
    ui->btDTR->setEnabled(false);
}

void TForm1::btRTSClick(QObject*) {
    switch (ui->cbRTSd->currentIndex()) {
    case 0:
        CPDrv->SetRtsLine(true);
        ui->lbRTS->setText(appliedText(true));
        break;
    case 1:
        CPDrv->SetRtsLine(false);
        ui->lbRTS->setText(appliedText(false));
        break;
    default:
        break;
    }
    ui->btRTS->setEnabled(false);
}
