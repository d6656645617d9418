// The exchange page: a typed line decoded, echoed and sent byte by byte; received blocks shown in the
// log and counted.
#include "Unit1.h"

#include "ExchangeText.h"
#include "HexKit.h"
#include "ui_Unit1.h"

void TForm1::btOutCOMClick(QObject*) {
    // Even a refused line switches the window to the exchange: received data is shown from now on.
    WorkMode = mdExchange;

    const QString line = ui->edCOMout->text();
    if (line.isEmpty()) {
        ShowAttention(tr("Пустая строка на вывод."));
        return;
    }

    const bool hex = ui->rbOutHex->isChecked();
    if (hex)
        ParseHexLine(line);
    else
        ParseSymbolLine(line);
    // A box raised while sending runs a nested loop; whatever runs in it must not move what we send.
    const std::vector<std::uint8_t> bytes = TxBuffer;

    QString echo = QStringLiteral("> ");
    if (hex)
        AppendHexForm(echo, bytes.data(), bytes.size(), ui->cbOutHexSym->isChecked());
    else
        AppendCharForm(echo, bytes.data(), bytes.size(), ui->cbOutSymHex->isChecked());
    echo += QStringLiteral(" < ");
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

void TForm1::ShowReceivedBlock() {
    const auto* data = reinterpret_cast<const std::uint8_t*>(RxBlock.constData());
    const auto n = static_cast<std::size_t>(RxBlock.size());
    // The whole block in one append: data may arrive at tens of kilobytes a second.
    QString text;
    if (ui->rbCOMinSym->isChecked())
        AppendCharForm(text, data, n, ui->cbInSymHex->isChecked());
    else
        AppendHexForm(text, data, n, ui->cbInHexSym->isChecked());
    ui->mmCOMin->appendText(text);

    if (ui->cbCountOn->isChecked()) {
        RxByteCount += static_cast<std::int64_t>(n);
        ui->lbCount->setText(QString::number(RxByteCount));
    }
}
