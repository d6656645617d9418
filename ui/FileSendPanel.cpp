// SPDX-License-Identifier: GPL-3.0-or-later
#include "FileSendPanel.h"

#include "ExchangeLog.h"
#include "FileDialog.h"
#include "MessageBox.h"
#include "Unit1.h"
#include "ui_Unit1.h"

#include <QAction>
#include <QActionGroup>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <cmath>

namespace {

struct Preset {
    FileSender::Pacing kind;
    int ms;
};
// Index 0 is the designed way: as fast as the port takes it, held only by flow control.
const Preset kPresets[] = {
    {FileSender::Pacing::None, 0},       {FileSender::Pacing::AfterLine, 10},
    {FileSender::Pacing::AfterLine, 50}, {FileSender::Pacing::AfterLine, 200},
    {FileSender::Pacing::AfterByte, 1},  {FileSender::Pacing::AfterByte, 5},
    {FileSender::Pacing::AfterByte, 20},
};

// The transmit lamp's colour while bytes go (as for a sent line).
const QColor kLampTx(0x00, 0xFF, 0x00);

} // namespace

FileSendPanel::FileSendPanel(TForm1* form) : QObject(form), m_form(form) {
    Ui::Form1& ui = *form->ui;
    sender = new FileSender(form->CPDrv, this);
    connect(sender, &FileSender::progressed, this, &FileSendPanel::showProgress);
    connect(sender, &FileSender::finished, this, &FileSendPanel::ended);

    acSendFile = new QAction(tr("Передать файл…"), form);
    acSendFile->setObjectName(QStringLiteral("acSendFile"));
    acSendFile->setToolTip(tr("Передать файл как есть, байт за байтом"));
    connect(acSendFile, &QAction::triggered, this, [this] { acSendFileExecute(); });

    mnPacing = new QMenu(tr("Паузы при передаче файла"), form);
    mnPacing->setObjectName(QStringLiteral("mnPacing"));
    auto* group = new QActionGroup(mnPacing);
    for (const Preset& p : kPresets) {
        const QString text =
            p.kind == FileSender::Pacing::None ? tr("Без пауз (ждать только управления потоком)")
            : p.kind == FileSender::Pacing::AfterLine ? tr("Пауза %1 мс после каждой строки").arg(p.ms)
                                                      : tr("Пауза %1 мс после каждого байта").arg(p.ms);
        QAction* a = mnPacing->addAction(text);
        a->setCheckable(true);
        group->addAction(a);
        pacingActions.append(a);
        if (p.kind == FileSender::Pacing::None)
            mnPacing->addSeparator();
    }
    pacingActions.front()->setChecked(true);

    btSendFile = new QToolButton(ui.TabSheet1);
    btSendFile->setObjectName(QStringLiteral("btSendFile"));
    btSendFile->setDefaultAction(acSendFile);
    btSendFile->setMenu(mnPacing);
    btSendFile->setPopupMode(QToolButton::MenuButtonPopup);
    btSendFile->setToolButtonStyle(Qt::ToolButtonTextOnly);
    btSendFile->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    btSendFile->setAccessibleName(tr("Передать файл"));
    btSendFile->setToolTip(tr("Передать файл; стрелка: паузы для устройств без управления потоком"));
    // Under the special characters, where the page has room; the spacer below it moves down a row.
    QGridLayout* grid = ui.glSpec;
    if (QLayoutItem* spacer = grid->itemAtPosition(2, 0)) {
        grid->removeItem(spacer);
        grid->addItem(spacer, 3, 0);
    }
    grid->addWidget(btSendFile, 2, 0, 1, 2);

    // The progress row, below the send line.
    plFileSend = new QWidget(ui.TabSheet1);
    plFileSend->setObjectName(QStringLiteral("plFileSend"));
    auto* row = new QHBoxLayout(plFileSend);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    pbFileSend = new QProgressBar(plFileSend);
    pbFileSend->setObjectName(QStringLiteral("pbFileSend"));
    pbFileSend->setRange(0, 1000);
    pbFileSend->setMaximumWidth(80);
    pbFileSend->setAccessibleName(tr("Передача файла"));
    lbFileSend = new QLabel(plFileSend);
    lbFileSend->setObjectName(QStringLiteral("lbFileSend"));
    lbFileSend->setTextFormat(Qt::PlainText);
    lbFileSend->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    btFileSendCancel = new QPushButton(tr("Отмена"), plFileSend);
    btFileSendCancel->setObjectName(QStringLiteral("btFileSendCancel"));
    btFileSendCancel->setAccessibleName(tr("Отменить передачу файла"));
    connect(btFileSendCancel, &QPushButton::clicked, sender, &FileSender::cancel);
    row->addWidget(pbFileSend);
    row->addWidget(lbFileSend, 1);
    row->addWidget(btFileSendCancel);
    plFileSend->hide();
    ui.vlExchange->insertWidget(ui.vlExchange->indexOf(ui.glOut) + 1, plFileSend);

    // A running test owns the line: the send follows the send button, which tests disable.
    ui.btOutCOM->installEventFilter(this);
    lbFileSend->installEventFilter(this); // the text is cut to its width
    form->installEventFilter(this);
    updateEnabled();
}

int FileSendPanel::pacingIndex() const {
    for (int i = 0; i < pacingActions.size(); ++i)
        if (pacingActions[i]->isChecked())
            return i;
    return 0;
}

void FileSendPanel::setPacingIndex(int index) {
    if (index >= 0 && index < pacingActions.size())
        pacingActions[index]->setChecked(true);
}

FileSender::Pace FileSendPanel::pace() const {
    const Preset& p = kPresets[pacingIndex()];
    return {p.kind, p.ms};
}

bool FileSendPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::EnabledChange && watched == m_form->ui->btOutCOM) {
        // A test takes the line over: the rest of the file would land in it.
        if (!m_form->ui->btOutCOM->isEnabled())
            sender->cancel();
        updateEnabled();
    } else if (event->type() == QEvent::Resize && watched == lbFileSend && sender->running())
        QMetaObject::invokeMethod(this, &FileSendPanel::showProgress, Qt::QueuedConnection);
    else if (event->type() == QEvent::Close && watched == m_form)
        sender->cancel(); // before the port closes with the window
    return QObject::eventFilter(watched, event);
}

void FileSendPanel::updateEnabled() {
    acSendFile->setEnabled(m_form->CPDrv->IsOpen() && m_form->ui->btOutCOM->isEnabled() &&
                           !sender->running());
}

void FileSendPanel::followConnection(bool open) {
    if (!open)
        sender->portClosing();
    updateEnabled();
}

void FileSendPanel::acSendFileExecute() {
    if (!m_form->CPDrv->IsOpen()) {
        m_form->ShowAttention(tr("Нет соединения с COM-портом."));
        return;
    }
    const QString path = filedlg::AskFileToRead(m_form, tr("Передать файл"));
    // The dialog's loop runs the window's timers: the port may be gone by now.
    if (path.isEmpty() || m_form->Closing() || !m_form->CPDrv->IsOpen())
        return;
    sendFile(path);
}

void FileSendPanel::sendFile(const QString& path) {
    if (sender->running())
        return;
    QString error;
    if (!sender->start(path, pace(), &error)) {
        m_form->ShowBox(tr("Не удалось открыть файл\r\n%1\r\nдля передачи: %2.")
                            .arg(QDir::toNativeSeparators(path), error),
                        tr("Ошибка чтения"), msgbox::IconError);
        return;
    }
    // As for a line sent: what the device answers is shown from now on.
    m_form->WorkMode = mdExchange;
    m_name = QFileInfo(path).fileName();
    m_lastHanded = 0;
    m_form->ui->mmCOMin->addLine(
        tr("> Передача файла \"%1\", %2 байт < ").arg(m_name, QString::number(sender->size())));
    updateEnabled();
    plFileSend->show();
    showProgress();
}

namespace {

// Two or three figures: "1,7 МБ", "198 КБ".
QString sizeText(double bytes) {
    const QLocale locale;
    const auto figures = [&](double v) { return locale.toString(v, 'f', v < 10 ? 1 : 0); };
    if (bytes < 1024)
        return FileSendPanel::tr("%1 байт").arg(qint64(bytes));
    if (bytes < 1024.0 * 1024)
        return FileSendPanel::tr("%1 КБ").arg(figures(bytes / 1024));
    if (bytes < 1024.0 * 1024 * 1024)
        return FileSendPanel::tr("%1 МБ").arg(figures(bytes / 1024 / 1024));
    return FileSendPanel::tr("%1 ГБ").arg(figures(bytes / 1024 / 1024 / 1024));
}

QString durationText(qint64 s) {
    return s >= 3600 ? QStringLiteral("%1:%2:%3")
                           .arg(s / 3600)
                           .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(s % 60, 2, 10, QLatin1Char('0'))
                     : QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString FileSendPanel::progressText(bool full) const {
    // The hold is what matters then.
    if (sender->held() && !full)
        return tr("ожидание: управление потоком");
    const qint64 handed = sender->handed();
    const qint64 size = sender->size();
    // The bar shows the share; the size of the whole is for the full text.
    QString text = size > 0 && full ? tr("%1 из %2").arg(sizeText(double(handed)), sizeText(double(size)))
                                    : sizeText(double(handed));
    if (sender->held())
        return tr("ожидание: управление потоком") + QStringLiteral(" · ") + text;
    const double rate = sender->rate();
    if (rate > 0) {
        text += QStringLiteral(" · ") + tr("%1/с").arg(sizeText(rate));
        if (size > handed)
            text += QStringLiteral(" · ") +
                    tr("осталось %1").arg(durationText(qint64(std::ceil(double(size - handed) / rate))));
    }
    return text;
}

void FileSendPanel::showProgress() {
    const qint64 size = sender->size();
    if (size > 0) {
        pbFileSend->setRange(0, 1000);
        pbFileSend->setValue(int(sender->handed() * 1000 / size));
    } else {
        pbFileSend->setRange(0, 0); // no size known: a busy bar
    }
    // Cut to the room the row has; in full in the tooltip and for screen readers.
    lbFileSend->setText(
        lbFileSend->fontMetrics().elidedText(progressText(false), Qt::ElideRight, lbFileSend->width()));
    const QString full = progressText(true);
    lbFileSend->setToolTip(full);
    pbFileSend->setAccessibleDescription(full);
    // The transmit lamp, as for a line: lit while bytes go.
    if (sender->handed() != m_lastHanded) {
        m_lastHanded = sender->handed();
        m_form->ui->spCOMTxled->setBrushColor(kLampTx);
        TForm1::EnableTimer(m_form->trTx, true);
    }
}

void FileSendPanel::ended(FileSender::End how, qint64 sent, qint64 size) {
    plFileSend->hide();
    lbFileSend->clear();
    lbFileSend->setToolTip(QString());
    pbFileSend->setAccessibleDescription(QString());
    updateEnabled();
    QString line;
    switch (how) {
    case FileSender::End::Done:
        line = tr("> Файл \"%1\" передан: %2 байт < ").arg(m_name, QString::number(sent));
        break;
    case FileSender::End::Cancelled:
        line = tr("> Передача файла \"%1\" отменена: передано %2 из %3 байт < ")
                   .arg(m_name, QString::number(sent), QString::number(size));
        break;
    case FileSender::End::PortClosed:
        line = tr("> Передача файла \"%1\" прервана: порт закрыт, передано %2 из %3 байт < ")
                   .arg(m_name, QString::number(sent), QString::number(size));
        break;
    case FileSender::End::ReadFailed:
        line = tr("> Передача файла \"%1\" прервана: ошибка чтения (%4), передано %2 из %3 байт < ")
                   .arg(m_name, QString::number(sent), QString::number(size), sender->readError());
        break;
    }
    if (!m_form->Closing())
        m_form->ui->mmCOMin->addLine(line);
}
