// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange page: a typed line decoded, echoed and sent byte by byte; received blocks shown in the
// log and counted.
#include "Unit1.h"

#include "ExchangeText.h"
#include "HexKit.h"
#include "SendLine.h"
#include "TimeStamps.h"
#include "ui_Unit1.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

namespace {

// Makes a widget opaque by painting under it what the window shows there without it: its parents
// then do not paint again each time it changes. A group box draws its frame and lays out its title
// on every paint, which cost more than the counter in it. Until that picture is taken (and after
// anything that may change it) the widget is left transparent.
class OpaqueOverParents : public QObject {
public:
    explicit OpaqueOverParents(QWidget* widget) : QObject(widget), m_widget(widget) {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        switch (e->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::PaletteChange:
        case QEvent::StyleChange:
        case QEvent::ParentChange:
            m_under = QPixmap();
            m_widget->setAttribute(Qt::WA_OpaquePaintEvent, false);
            break;
        case QEvent::Paint:
            if (m_grabbing)
                return true; // what lies under it, without it
            if (!m_under.isNull()) {
                QPainter p(m_widget);
                p.drawPixmap(0, 0, m_under);
            } else if (!m_grabPending) {
                // Taken outside a paint, which cannot start another.
                m_grabPending = true;
                QMetaObject::invokeMethod(
                    this, [this] { grabUnder(); }, Qt::QueuedConnection);
            }
            break;
        default:
            break;
        }
        return false;
    }

private:
    void grabUnder() {
        m_grabPending = false;
        QWidget* window = m_widget->window();
        if (!m_widget->isVisible())
            return;
        const QRect area(m_widget->mapTo(window, QPoint()), m_widget->size());
        QPixmap under(area.size() * m_widget->devicePixelRatioF());
        under.setDevicePixelRatio(m_widget->devicePixelRatioF());
        under.fill(m_widget->palette().window().color());
        m_grabbing = true;
        window->render(&under, QPoint(), QRegion(area));
        m_grabbing = false;
        m_under = under;
        m_widget->setAttribute(Qt::WA_OpaquePaintEvent, true);
    }

    QWidget* m_widget;
    QPixmap m_under;
    bool m_grabbing = false;
    bool m_grabPending = false;
};

} // namespace

void TForm1::btOutCOMClick(QObject*) {
    // Even a refused line switches the window to the exchange: received data is shown from now on.
    WorkMode = mdExchange;

    const QString line = ui->edCOMout->text();
    if (line.isEmpty()) {
        ShowAttention(tr("Пустая строка на вывод."));
        return;
    }

    sendLine->remember(line);
    const bool hex = ui->rbOutHex->isChecked();
    if (hex)
        ParseHexLine(line);
    else
        ParseSymbolLine(line);
    // The chosen line end follows the line's own bytes.
    const QByteArray lineEnd = sendLine->lineEndBytes();
    TxBuffer.insert(TxBuffer.end(), lineEnd.begin(), lineEnd.end());
    // A box raised while sending runs a nested loop; whatever runs in it must not move what we send.
    const std::vector<std::uint8_t> bytes = TxBuffer;

    QString echo = QStringLiteral("> ");
    const std::size_t own = bytes.size() - std::size_t(lineEnd.size());
    const bool decorated = hex ? ui->cbOutHexSym->isChecked() : ui->cbOutSymHex->isChecked();
    if (hex)
        AppendHexForm(echo, bytes.data(), own, decorated);
    else
        AppendCharForm(echo, bytes.data(), own, decorated);
    echo += sendLine->lineEndEcho(hex, decorated) + QStringLiteral(" < ");
    ui->mmCOMin->addLine(echo);

    for (const std::uint8_t b : bytes) {
        if (Closing())
            return;
        // The port may close under us while a failed write's box is up: say so once, drop the rest.
        if (!CPDrv->IsOpen()) {
            ShowAttention(tr("Нет соединения с COM-портом."));
            return;
        }
        // The line ends at its first failed write: one box, not one per byte of a long line.
        if (!SendCode(b))
            return;
    }
}

void TForm1::ParseHexLine(const QString& line) {
    TxBuffer = ::ParseHexLine(line);
}

void TForm1::ParseSymbolLine(const QString& line) {
    TxBuffer = ::ParseSymbolLine(line);
}

void TForm1::edCOMoutKeyPress(QObject*, char& Key) {
    if (ui->rbOutHex->isChecked())
        Key = HexKit1->HexKeyFilter(Key, true);
}

void TForm1::btWriteClick(QObject*) {
    const int index = ui->cbSpecS->currentIndex();
    QString escape;
    if (index == 32)
        escape = QStringLiteral("\\\\");
    else if (index == 33)
        escape = QStringLiteral("\\FF");
    else
        escape = QStringLiteral("\\") + IntToHexPadded(index, 2); // no item (-1) gives "\00"
    ui->edCOMout->setText(ui->edCOMout->text() + escape);
}

void TForm1::btCOMinClrClick(QObject*) {
    ui->mmCOMin->clearLog();
}

void TForm1::btCountClrClick(QObject*) {
    RxByteCount = 0;
    ui->lbCount->setText(QStringLiteral("0"));
}

void TForm1::fixCounterSize() {
    // The counter changes with every block. A label whose size may change asks the layouts above it
    // to settle again, and the notebook answers that by painting its whole page: 20 times a second
    // during a stream. A fixed size (twelve digits) ends the question at the label, and an opaque
    // label repaints alone.
    QLabel* label = ui->lbCount;
    const QMargins m = label->contentsMargins();
    const int digits = label->fontMetrics().horizontalAdvance(QStringLiteral("000000000000"));
    label->setFixedSize(std::max(label->minimumWidth(), digits + m.left() + m.right() + 2 * label->margin()),
                        label->sizeHint().height());
    new OpaqueOverParents(label); // owned by the label
}

void TForm1::ShowReceivedBlock() {
    // The whole block in one append, in eight bits: data may arrive at megabytes a second.
    const bool hex = !ui->rbCOMinSym->isChecked();
    ui->mmCOMin->appendReceived(RxBlock, hex, hex ? ui->cbInHexSym->isChecked() : ui->cbInSymHex->isChecked(),
                                timeStamps->blockTime());

    if (ui->cbCountOn->isChecked()) {
        RxByteCount += static_cast<std::int64_t>(RxBlock.size());
        ui->lbCount->setText(QString::number(RxByteCount));
    }
}
