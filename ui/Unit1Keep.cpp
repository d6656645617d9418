// SPDX-License-Identifier: GPL-3.0-or-later
// Keeping a run: the exchange log's context menu saves the whole log as UTF-8 text, and records every
// received byte, raw, into a file the user chooses, until the user unticks the item or the port
// closes. Nothing is written unless the user asks.
#include "Unit1.h"

#include "ExchangeLog.h"
#include "FileDialog.h"
#include "MessageBox.h"
#include "RecordingFile.h"
#include "ui_Unit1.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSaveFile>

#include <algorithm>

namespace {

QString suggestedName(const char* suffix) {
    return QStringLiteral("comlab-%1.%2")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")), QLatin1String(suffix));
}

// The status strip's note of a recording: a text with %1 for the file's path, the folders left out
// when the room is short, so that the file's name stays in sight.
class RecordingLabel : public QLabel {
public:
    using QLabel::QLabel;
    void setRecording(const QString& format, const QString& path) {
        m_format = format;
        m_path = QDir::toNativeSeparators(path);
        setToolTip(m_path);
        elide();
    }

protected:
    void resizeEvent(QResizeEvent* e) override {
        QLabel::resizeEvent(e);
        elide();
    }

private:
    void elide() {
        const int room = std::max(0, contentsRect().width());
        QString text = m_format.isEmpty() ? QString() : m_format.arg(m_path);
        if (!m_path.isEmpty() && fontMetrics().horizontalAdvance(text) > room)
            text = m_format.arg(QString(QChar(0x2026)) + QDir::separator() + QFileInfo(m_path).fileName());
        setText(fontMetrics().elidedText(text, Qt::ElideMiddle, room));
    }
    QString m_format, m_path;
};

} // namespace

void TForm1::setupKeeping() {
    acSaveLog = new QAction(tr("Сохранить протокол…"), this);
    acSaveLog->setObjectName(QStringLiteral("acSaveLog"));
    connect(acSaveLog, &QAction::triggered, this, [this] { acSaveLogExecute(acSaveLog); });

    acRecord = new QAction(tr("Записывать принятое в файл…"), this);
    acRecord->setObjectName(QStringLiteral("acRecord"));
    acRecord->setCheckable(true);
    acRecord->setEnabled(false); // the port is closed
    connect(acRecord, &QAction::triggered, this, [this] { acRecordExecute(acRecord); });

    ui->mmCOMin->setExtraContextActions({acSaveLog, acRecord});

    // The status strip names the file while recording; the strip's spare room is the label's.
    lbRecord = new RecordingLabel(ui->plCOM);
    lbRecord->setObjectName(QStringLiteral("lbRecord"));
    lbRecord->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lbRecord->setTextFormat(Qt::PlainText);
    lbRecord->hide();
    ui->hlStatus->insertWidget(ui->hlStatus->indexOf(ui->lbCOM) + 1, lbRecord, 1);
}

void TForm1::acSaveLogExecute(QObject*) {
    const QString path = filedlg::AskFileToWrite(this, tr("Сохранить протокол"), suggestedName("txt"),
                                                 filedlg::Write::Replace);
    if (path.isEmpty() || Closing())
        return;
    QSaveFile file(path);
    // A file the user may write in a folder the user may not write still takes the log.
    file.setDirectWriteFallback(true);
    // Unbuffered, so that a write that stops short says why (a full disk, a size limit).
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    QString reason;
    if (ok && !ui->mmCOMin->writeUtf8(file)) {
        ok = false;
        reason = file.errorString(); // before cancelling, which puts its own words there
        file.cancelWriting();
    }
    if (ok)
        ok = file.commit();
    if (!ok)
        ShowBox(tr("Не удалось сохранить протокол в файл\r\n%1:\r\n%2.")
                    .arg(QDir::toNativeSeparators(path), reason.isEmpty() ? file.errorString() : reason),
                tr("Ошибка сохранения"), msgbox::IconError);
}

void TForm1::acRecordExecute(QObject*) {
    if (m_record) {
        StopRecording();
        return;
    }
    acRecord->setChecked(false); // ticked once a file is open
    const QString path = filedlg::AskFileToWrite(this, tr("Записывать принятое в файл"), suggestedName("bin"),
                                                 filedlg::Write::Append);
    // The dialog's loop runs the window's timers: the port may be gone by now.
    if (path.isEmpty() || Closing() || !CPDrv->IsOpen())
        return;
    auto file = std::make_unique<RecordingFile>(path);
    if (!file->open()) {
        ShowBox(tr("Не удалось открыть файл\r\n%1\r\nдля записи принятого: %2.")
                    .arg(QDir::toNativeSeparators(path), file->errorString()),
                tr("Ошибка записи"), msgbox::IconError);
        return;
    }
    m_record = std::move(file);
    acRecord->setChecked(true);
    static_cast<RecordingLabel*>(lbRecord)->setRecording(tr("Запись в файл %1"), path);
    lbRecord->show();
}

void TForm1::StopRecording() {
    if (!m_record)
        return;
    m_record.reset();
    acRecord->setChecked(false);
    lbRecord->hide();
    static_cast<RecordingLabel*>(lbRecord)->setRecording(QString(), QString());
}

void TForm1::RecordBlock(const QByteArray& block) {
    if (!m_record->write(block))
        RecordingFailed();
}

void TForm1::RecordEvent(const platform::ReceiveEvent& event) {
    if (!m_record->note(event))
        RecordingFailed();
}

void TForm1::RecordingFailed() {
    // Stopped at once, so later blocks raise no second box; the box itself waits for the next turn of
    // the event loop, so that the receive path never waits on it and what arrives meanwhile is shown in
    // order.
    const QString text = tr("Запись принятого в файл\r\n%1\r\nостановлена: %2.\r\nВ файл записано байт: %3.")
                             .arg(QDir::toNativeSeparators(m_record->fileName()), m_record->errorString())
                             .arg(m_record->written());
    StopRecording();
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            if (!Closing())
                ShowBox(text, tr("Ошибка записи"), msgbox::IconError);
        },
        Qt::QueuedConnection);
}
