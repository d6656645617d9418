// SPDX-License-Identifier: GPL-3.0-or-later
#include "BreakControl.h"

#include "Unit1.h"
#include "ui_Unit1.h"

#include <QGridLayout>
#include <QPointer>
#include <QPushButton>

#include <vector>

namespace {

// Moves every item of a grid at `row` or below one row down, leaving `row` free.
void openGridRow(QGridLayout* grid, int row) {
    struct Placed {
        QLayoutItem* item;
        int row, column, rowSpan, columnSpan;
    };
    std::vector<Placed> moved;
    for (int i = grid->count() - 1; i >= 0; --i) {
        int r = 0, c = 0, rs = 0, cs = 0;
        grid->getItemPosition(i, &r, &c, &rs, &cs);
        if (r >= row)
            moved.push_back({grid->takeAt(i), r + 1, c, rs, cs});
    }
    for (auto it = moved.rbegin(); it != moved.rend(); ++it)
        grid->addItem(it->item, it->row, it->column, it->rowSpan, it->columnSpan);
    // Stretch belongs to rows, not to items: it moves with them.
    for (int r = grid->rowCount() - 1; r > row; --r)
        grid->setRowStretch(r, grid->rowStretch(r - 1));
    grid->setRowStretch(row, 0);
}

} // namespace

BreakControl::BreakControl(TForm1* form) : QObject(form), m_form(form) {
    Ui::Form1& ui = *form->ui;
    btBreak = new QPushButton(tr("Послать Break, %1 мс").arg(kBreakMs), ui.GroupBox7);
    btBreak->setObjectName(QStringLiteral("btBreak"));
    btBreak->setAccessibleName(tr("Послать Break на %1 мс").arg(kBreakMs));
    btBreak->setToolTip(tr("Удержать линию передачи в состоянии Break (пауза) %1 мс").arg(kBreakMs));
    btBreak->setEnabled(false); // the port is closed
    // Right under DTR and RTS, the other lines this page drives.
    openGridRow(ui.glGroupBox7, 2);
    ui.glGroupBox7->addWidget(btBreak, 2, 1, 1, 2);
    QWidget::setTabOrder(ui.btRTS, btBreak);
    connect(btBreak, &QPushButton::clicked, this, [this] { btBreakClick(); });
}

void BreakControl::btBreakClick() {
    TCommPortDriver* drv = m_form->CPDrv;
    if (!drv->IsOpen()) {
        m_form->ShowAttention(tr("Нет соединения с COM-портом."));
        return;
    }
    const QPointer<QPushButton> button(btBreak);
    const bool on = drv->SendBreak(kBreakMs, [button, drv] {
        if (button)
            button->setEnabled(drv->IsOpen());
    });
    if (on) {
        btBreak->setEnabled(false);
        return;
    }
    if (!drv->BreakOn())
        m_form->ShowAttention(tr("Устройство не приняло Break."));
}

void BreakControl::followConnection(bool open) {
    btBreak->setEnabled(open && !m_form->CPDrv->BreakOn());
}
