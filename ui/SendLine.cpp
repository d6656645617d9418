// SPDX-License-Identifier: GPL-3.0-or-later
#include "SendLine.h"

#include "ExchangeText.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>

SendLine::SendLine(QLineEdit* edit, QAbstractButton* send, QGridLayout* row, QObject* parent)
    : QObject(parent), m_edit(edit), m_send(send) {
    QWidget* page = edit->parentWidget();
    m_label = new QLabel(tr("Конец строки"), page);
    m_label->setObjectName(QStringLiteral("lbLineEnd"));
    m_lineEnd = new QComboBox(page);
    m_lineEnd->setObjectName(QStringLiteral("cbLineEnd"));
    m_lineEnd->addItems({tr("нет"), QStringLiteral("CR"), QStringLiteral("LF"), QStringLiteral("CR LF")});
    m_lineEnd->setCurrentIndex(None);
    m_lineEnd->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_lineEnd->setToolTip(tr("Что добавлять к каждой передаваемой строке"));
    m_lineEnd->setAccessibleName(tr("Конец строки"));
    m_label->setBuddy(m_lineEnd);

    row->removeWidget(send);
    row->addWidget(m_label, 0, 1);
    row->addWidget(m_lineEnd, 1, 1);
    row->addWidget(send, 1, 2);
    // Tab from the line reaches the choice, then the button.
    QWidget::setTabOrder(edit, m_lineEnd);
    QWidget::setTabOrder(m_lineEnd, send);

    edit->setToolTip(tr("Enter — передать, \u2191 и \u2193 — строки, переданные раньше"));
    // Installed after the window's key filter, so it sees Enter, Up and Down first.
    edit->installEventFilter(this);
}

SendLine::LineEnd SendLine::lineEnd() const {
    return static_cast<LineEnd>(std::max(0, m_lineEnd->currentIndex()));
}

void SendLine::setLineEnd(int index) {
    if (index >= 0 && index < m_lineEnd->count())
        m_lineEnd->setCurrentIndex(index);
}

QByteArray SendLine::lineEndBytes() const {
    switch (lineEnd()) {
    case Cr:
        return QByteArrayLiteral("\r");
    case Lf:
        return QByteArrayLiteral("\n");
    case CrLf:
        return QByteArrayLiteral("\r\n");
    case None:
        break;
    }
    return {};
}

QString SendLine::lineEndEcho(bool hexForm, bool decorated) const {
    const QByteArray bytes = lineEndBytes();
    QString out;
    if (hexForm) {
        AppendHexForm(out, reinterpret_cast<const std::uint8_t*>(bytes.data()), std::size_t(bytes.size()),
                      decorated);
        return out;
    }
    for (const char c : bytes)
        out += c == '\r' ? QStringLiteral("\\0D") : QStringLiteral("\\0A");
    return out;
}

bool SendLine::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_edit || event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const auto mods = key->modifiers() & ~Qt::KeypadModifier;
    if (mods != Qt::NoModifier)
        return false;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A disabled button (a test runs) takes no press from the keyboard either.
        if (m_send->isEnabled())
            m_send->click();
        return true;
    case Qt::Key_Up:
        if (const auto line = m_history.older(m_edit->text()))
            m_edit->setText(*line);
        return true;
    case Qt::Key_Down:
        if (const auto line = m_history.newer())
            m_edit->setText(*line);
        return true;
    default:
        return false;
    }
}
