// SPDX-License-Identifier: GPL-3.0-or-later
#include "ReceiveProblems.h"

#include <QLabel>

#include <cstring>

using platform::ReceiveEventKind;

namespace {

// Digits in groups of three, a space between: "1 234 567", in either language.
QString grouped(std::uint64_t n) {
    QString digits = QString::number(n);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(' '));
    return digits;
}

QString times(std::uint64_t n) {
    return n > 1 ? QStringLiteral(" ×%1").arg(grouped(n)) : QString();
}

} // namespace

ReceiveProblems::ReceiveProblems(QLabel* label, QObject* parent) : QObject(parent), m_label(label) {
    m_label->setObjectName(QStringLiteral("lbErrors"));
    m_label->setTextFormat(Qt::PlainText);
    show();
}

void ReceiveProblems::reset() {
    m_counts = {};
    m_bytesLost = 0;
    show();
}

void ReceiveProblems::note(const platform::ReceiveEvent& event) {
    const auto i = std::size_t(event.kind);
    // Bytes that came after a pause are no problem.
    if (event.kind == ReceiveEventKind::Arrival || i >= m_counts.size())
        return;
    // A drop counts once however many bytes it took; the bytes are counted apart.
    if (event.kind == ReceiveEventKind::QueueOverflow) {
        ++m_counts[i];
        m_bytesLost += event.count;
    } else if (event.kind == ReceiveEventKind::HangUp) {
        ++m_counts[i];
    } else {
        m_counts[i] += event.count;
    }
    show();
}

std::uint64_t ReceiveProblems::errors() const {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < m_counts.size(); ++i)
        if (ReceiveEventKind(i) != ReceiveEventKind::HangUp)
            n += m_counts[i];
    return n;
}

void ReceiveProblems::show() {
    const std::uint64_t n = errors();
    m_label->setVisible(n > 0);
    if (n == 0) {
        m_label->clear();
        m_label->setToolTip(QString());
        return;
    }
    m_label->setText(tr("Ошибок приёма: %1").arg(grouped(n)));
    m_label->setAccessibleName(m_label->text());
    QStringList lines{tr("С момента соединения:")};
    if (const std::uint64_t c = count(ReceiveEventKind::QueueOverflow))
        lines << tr("входная очередь переполнялась: %1 раз, потеряно %2 байт")
                     .arg(grouped(c), grouped(m_bytesLost));
    if (const std::uint64_t c = count(ReceiveEventKind::Overrun))
        lines << tr("переполнение приёмника: %1").arg(grouped(c));
    if (const std::uint64_t c = count(ReceiveEventKind::Framing))
        lines << tr("ошибки кадра: %1").arg(grouped(c));
    if (const std::uint64_t c = count(ReceiveEventKind::Parity))
        lines << tr("ошибки чётности: %1").arg(grouped(c));
    if (const std::uint64_t c = count(ReceiveEventKind::Break))
        lines << tr("разрывы линии (break): %1").arg(grouped(c));
    m_label->setToolTip(lines.join(QLatin1Char('\n')));
}

bool ReceiveProblems::isProblem(ReceiveEventKind kind) {
    return kind != ReceiveEventKind::HangUp && kind != ReceiveEventKind::Arrival;
}

const char* ReceiveProblems::keyword(ReceiveEventKind kind) {
    switch (kind) {
    case ReceiveEventKind::QueueOverflow:
        return "input-queue-full";
    case ReceiveEventKind::Overrun:
        return "overrun";
    case ReceiveEventKind::Framing:
        return "framing-error";
    case ReceiveEventKind::Parity:
        return "parity-error";
    case ReceiveEventKind::Break:
        return "break";
    case ReceiveEventKind::HangUp:
        return "hang-up";
    case ReceiveEventKind::Arrival:
        return "arrival";
    }
    return "unknown";
}

QString ReceiveProblems::markText(const platform::ReceiveEvent& e) {
    QString words;
    switch (e.kind) {
    case ReceiveEventKind::QueueOverflow:
        words = tr("%1 байт потеряно: входная очередь полна").arg(grouped(e.count));
        break;
    case ReceiveEventKind::Overrun:
        words = tr("переполнение приёмника: байты потеряны") + times(e.count);
        break;
    case ReceiveEventKind::Framing:
        words = tr("ошибка кадра") + times(e.count);
        break;
    case ReceiveEventKind::Parity:
        words = tr("ошибка чётности") + times(e.count);
        break;
    case ReceiveEventKind::Break:
        words = tr("разрыв линии (break)") + times(e.count);
        break;
    case ReceiveEventKind::HangUp:
        words = tr("устройство отключилось: %1").arg(QString::fromLocal8Bit(std::strerror(int(e.count))));
        break;
    case ReceiveEventKind::Arrival:
        return QString(); // shown as a time stamp, not a mark
    }
    return QChar(0x27E8) + words + QChar(0x27E9);
}
