// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The find bar of a log: a compact row under it with the text to find, next and previous, match case
// and, while the log shows received data in hexadecimal, a search for codes ("0D 0A"). Every match
// that shows is highlighted and the current one is selected. Enter finds the next, Shift+Enter the
// previous, Escape closes the bar and gives the focus back to the log.
#include "LogSearch.h"

#include <QPointer>
#include <QWidget>

class ExchangeLog;
class QCheckBox;
class QLabel;
class QLineEdit;
class QToolButton;

class LogFindBar : public QWidget {
    Q_OBJECT

public:
    explicit LogFindBar(ExchangeLog* log, QWidget* parent = nullptr);
    ~LogFindBar() override;

    // Shows the bar with the focus in its text, taking a short selection of the log as the text.
    void open();
    // Hides the bar, its highlights with it, and gives the focus back to the log.
    void dismiss();
    // The owner tells the bar whether the log shows received data as hex codes.
    void setHexForm(bool hex);

    void findNext();
    void findPrevious();

    QLineEdit* queryEdit() const { return m_query; }
    QCheckBox* matchCaseBox() const { return m_case; }
    QCheckBox* hexBox() const { return m_hex; }
    QLabel* statusLabel() const { return m_status; }
    LogSearch& search() { return m_search; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Takes the query and options anew; false when a hex query holds no codes.
    bool updateQuery();
    void start(qint64 from, bool forward);
    void showStatus(const QString& text);

    QPointer<ExchangeLog> m_log;
    LogSearch m_search;
    QLabel* m_label = nullptr;
    QLineEdit* m_query = nullptr;
    QToolButton* m_next = nullptr;
    QToolButton* m_previous = nullptr;
    QCheckBox* m_case = nullptr;
    QCheckBox* m_hex = nullptr;
    QLabel* m_status = nullptr;
    QToolButton* m_close = nullptr;
    bool m_badQuery = false;
};
