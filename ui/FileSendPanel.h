// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sending a file from the exchange page: the action "Передать файл…" (a button under the special
// characters, and the exchange log's menu), the pause for devices without flow control (the button's
// menu), and while a file goes, a row with its progress, rate, time left and Cancel. The log notes the
// file's name and size and how the send ended, never its bytes.
#include "FileSender.h"

#include <QList>
#include <QObject>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QToolButton;
class QWidget;
class TForm1;

class FileSendPanel : public QObject {
    Q_OBJECT
public:
    explicit FileSendPanel(TForm1* form);

    QAction* acSendFile = nullptr;     // "Передать файл…"
    QToolButton* btSendFile = nullptr; // the action, with the pauses on its arrow
    QMenu* mnPacing = nullptr;
    QList<QAction*> pacingActions; // by index, as kept in the settings
    QWidget* plFileSend = nullptr; // the progress row, shown while a file goes
    QProgressBar* pbFileSend = nullptr;
    QLabel* lbFileSend = nullptr;
    QPushButton* btFileSendCancel = nullptr;
    FileSender* sender = nullptr;

    int pacingIndex() const;
    void setPacingIndex(int index); // out of range: left as it is
    FileSender::Pace pace() const;

    // Asks for a file and sends it.
    void acSendFileExecute();
    // Sends a file without asking.
    void sendFile(const QString& path);
    // The status text of the progress row now: short as the row shows it, or in full.
    QString progressText(bool full) const;
    // The port opened or closed: a send ends with the connection.
    void followConnection(bool open);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showProgress();
    void ended(FileSender::End how, qint64 sent, qint64 size);
    void updateEnabled();

    TForm1* m_form;
    QString m_name; // the file's name, for the log
    qint64 m_lastHanded = 0;
};
