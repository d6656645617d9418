// SPDX-License-Identifier: GPL-3.0-or-later
#include "LogFindBar.h"

#include "ExchangeLog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

LogFindBar::LogFindBar(ExchangeLog* log, QWidget* parent) : QWidget(parent), m_log(log) {
    setAccessibleName(tr("Поиск в протоколе"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);

    m_label = new QLabel(tr("Найти:"), this);
    m_query = new QLineEdit(this);
    m_query->setObjectName(QStringLiteral("edFind"));
    m_query->setPlaceholderText(tr("Найти"));
    m_query->setAccessibleName(tr("Текст для поиска"));
    m_query->setClearButtonEnabled(true);
    m_query->setMinimumWidth(m_query->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 10);
    m_query->installEventFilter(this);
    m_label->setBuddy(m_query);

    // Short captions: the row shares the page's width with the text to find.
    m_next = new QToolButton(this);
    m_next->setText(tr("Далее"));
    m_next->setObjectName(QStringLiteral("btFindNext"));
    m_next->setToolTip(tr("Найти следующее (Enter)"));
    m_previous = new QToolButton(this);
    m_previous->setText(tr("Назад"));
    m_previous->setObjectName(QStringLiteral("btFindPrevious"));
    m_previous->setToolTip(tr("Найти предыдущее (Shift+Enter)"));
    for (QToolButton* b : {m_next, m_previous})
        b->setFocusPolicy(Qt::TabFocus);

    m_case = new QCheckBox(tr("Регистр"), this);
    m_case->setObjectName(QStringLiteral("cbFindCase"));
    m_case->setToolTip(tr("Различать прописные и строчные буквы"));
    m_case->setAccessibleName(tr("С учётом регистра"));
    m_hex = new QCheckBox(tr("HEX"), this);
    m_hex->setObjectName(QStringLiteral("cbFindHex"));
    m_hex->setToolTip(tr("Искать коды байтов, например «0D 0A», пока протокол показывает принятое в HEX"));
    m_hex->setAccessibleName(tr("Искать коды HEX"));
    m_hex->setEnabled(false);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("lbFindStatus"));
    m_status->setAccessibleName(tr("Итог поиска"));

    m_close = new QToolButton(this);
    m_close->setObjectName(QStringLiteral("btFindClose"));
    m_close->setText(QStringLiteral("×"));
    m_close->setAutoRaise(true);
    m_close->setToolTip(tr("Закрыть поиск (Esc)"));
    m_close->setAccessibleName(tr("Закрыть поиск"));

    row->addWidget(m_label);
    row->addWidget(m_query, 1);
    row->addWidget(m_next);
    row->addWidget(m_previous);
    row->addWidget(m_case);
    row->addWidget(m_hex);
    row->addWidget(m_status);
    row->addWidget(m_close);

    connect(m_query, &QLineEdit::textChanged, this, [this] {
        // As the text is typed, the match grows where it stands.
        if (m_log && isVisible())
            start(m_log->selectionStart(), true);
    });
    connect(m_next, &QToolButton::clicked, this, &LogFindBar::findNext);
    connect(m_previous, &QToolButton::clicked, this, &LogFindBar::findPrevious);
    for (QCheckBox* box : {m_case, m_hex})
        connect(box, &QCheckBox::toggled, this, [this] {
            // The owner switches the hex form while the bar is closed too: then nothing moves.
            if (m_log && isVisible())
                start(m_log->selectionStart(), true);
        });
    connect(m_close, &QToolButton::clicked, this, &LogFindBar::dismiss);
    connect(&m_search, &LogSearch::found, this, [this](qint64 from, qint64 to) {
        showStatus(QString());
        if (m_log) {
            m_log->setSelection(from, to);
            m_log->viewport()->update();
        }
    });
    connect(&m_search, &LogSearch::notFound, this, [this] { showStatus(tr("Не найдено")); });
    if (log)
        connect(log, &QObject::destroyed, &m_search, &LogSearch::cancel);
}

LogFindBar::~LogFindBar() {
    m_search.cancel();
    if (m_log)
        m_log->setSearch(nullptr);
}

void LogFindBar::open() {
    if (m_log) {
        const QString selected =
            m_log->hasSelection() && m_log->selectionEnd() - m_log->selectionStart() <= 200
                ? m_log->selectedText()
                : QString();
        if (!selected.isEmpty() && !selected.contains(u'\n')) {
            const QSignalBlocker quiet(m_query);
            m_query->setText(selected);
        }
        m_log->setSearch(&m_search);
    }
    show();
    updateQuery();
    if (m_log)
        m_log->viewport()->update();
    m_query->setFocus(Qt::ShortcutFocusReason);
    m_query->selectAll();
}

void LogFindBar::dismiss() {
    m_search.cancel();
    hide();
    if (m_log) {
        m_log->setSearch(nullptr);
        m_log->viewport()->update();
        m_log->setFocus(Qt::OtherFocusReason);
    }
}

void LogFindBar::setHexForm(bool hex) {
    m_hex->setEnabled(hex);
    m_hex->setChecked(hex);
}

bool LogFindBar::updateQuery() {
    const bool hex = m_hex->isEnabled() && m_hex->isChecked();
    m_badQuery = !m_search.setQuery(m_query->text(), m_case->isChecked(), hex);
    showStatus(m_badQuery ? tr("Коды HEX: по две цифры через пробел") : QString());
    if (m_log)
        m_log->viewport()->update();
    return !m_badQuery;
}

void LogFindBar::start(qint64 from, bool forward) {
    if (!updateQuery() || !m_log || !m_search.hasQuery())
        return;
    m_search.find(&m_log->content(), from, forward);
}

void LogFindBar::findNext() {
    if (m_log)
        start(m_log->hasSelection() ? m_log->selectionEnd() : m_log->cursorPosition(), true);
}

void LogFindBar::findPrevious() {
    if (m_log)
        start(m_log->selectionStart(), false);
}

void LogFindBar::showStatus(const QString& text) {
    m_status->setText(text);
}

bool LogFindBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_query && event->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(event);
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
            if (k->modifiers() & Qt::ShiftModifier)
                findPrevious();
            else
                findNext();
            return true;
        }
        if (k->key() == Qt::Key_Escape) {
            dismiss();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
