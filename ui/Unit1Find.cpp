// SPDX-License-Identifier: GPL-3.0-or-later
// Search in the exchange log: the find bar sits under the log; "Найти…" (Ctrl+F on the exchange page,
// and in the log's menu) opens it; it searches hex codes while the log shows received data in hex.
#include "Unit1.h"

#include "LogFindBar.h"
#include "ui_Unit1.h"

#include <QAction>

void TForm1::setupFind() {
    fbCOMin = new LogFindBar(ui->mmCOMin, ui->TabSheet1);
    fbCOMin->setObjectName(QStringLiteral("fbCOMin"));
    fbCOMin->hide();
    ui->vlExchange->insertWidget(ui->vlExchange->indexOf(ui->mmCOMin) + 1, fbCOMin);
    auto* find = new QAction(tr("Найти…"), this);
    find->setObjectName(QStringLiteral("acFind"));
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    ui->TabSheet1->addAction(find);
    ui->mmCOMin->insertExtraContextAction(0, find); // first after the editing items
    connect(find, &QAction::triggered, fbCOMin, &LogFindBar::open);
    connect(ui->rbCOMinHex, &QAbstractButton::toggled, fbCOMin, &LogFindBar::setHexForm);
    fbCOMin->setHexForm(ui->rbCOMinHex->isChecked());
}
