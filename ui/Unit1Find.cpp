// SPDX-License-Identifier: GPL-3.0-or-later
// Search in the exchange log: the find bar sits under the log, Ctrl+F on the exchange page opens it,
// and it searches hex codes while the log shows received data in hex.
#include "Unit1.h"

#include "LogFindBar.h"
#include "ui_Unit1.h"

#include <QShortcut>

void TForm1::setupFind() {
    fbCOMin = new LogFindBar(ui->mmCOMin, ui->TabSheet1);
    fbCOMin->setObjectName(QStringLiteral("fbCOMin"));
    fbCOMin->hide();
    ui->vlExchange->insertWidget(ui->vlExchange->indexOf(ui->mmCOMin) + 1, fbCOMin);
    auto* find = new QShortcut(QKeySequence::Find, ui->TabSheet1);
    find->setContext(Qt::WidgetWithChildrenShortcut);
    connect(find, &QShortcut::activated, fbCOMin, &LogFindBar::open);
    connect(ui->rbCOMinHex, &QAbstractButton::toggled, fbCOMin, &LogFindBar::setHexForm);
    fbCOMin->setHexForm(ui->rbCOMinHex->isChecked());
}
