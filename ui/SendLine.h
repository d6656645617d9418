// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the send line does beyond its designed rules: Enter presses the send button, Up and Down walk
// the lines sent before, and a line end (none, CR, LF or CR LF) chosen beside it is added to the bytes
// of every line sent.
#include "SendHistory.h"

#include <QByteArray>
#include <QObject>

class QAbstractButton;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;

class SendLine : public QObject {
    Q_OBJECT
public:
    enum LineEnd { None, Cr, Lf, CrLf };

    // Puts the line-end choice between the edit and the button of `row`, a grid with the edit at
    // (1, 0) and the button at (1, 1).
    SendLine(QLineEdit* edit, QAbstractButton* send, QGridLayout* row, QObject* parent);

    QComboBox* lineEndBox() const { return m_lineEnd; }
    LineEnd lineEnd() const;
    void setLineEnd(int index); // an index out of range leaves the choice as it is
    QByteArray lineEndBytes() const;
    // The line end as the echo shows it: codes in the hexadecimal form, escapes in the character form,
    // so that the echo stays one line.
    QString lineEndEcho(bool hexForm, bool decorated) const;

    SendHistory& history() { return m_history; }
    // A line is being sent.
    void remember(const QString& line) { m_history.add(line); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_edit;
    QAbstractButton* m_send;
    QLabel* m_label;
    QComboBox* m_lineEnd;
    SendHistory m_history;
};
