// SPDX-License-Identifier: GPL-3.0-or-later
#include "MessageBox.h"

#include <QMessageBox>
#include <QPointer>

namespace msgbox {

namespace {
MessageBoxRecorder* activeRecorder = nullptr;

QMessageBox::Icon iconFor(int iconFlag) {
    switch (iconFlag) {
    case IconError:
        return QMessageBox::Critical;
    case IconInformation:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}
} // namespace

MessageBoxRecorder::MessageBoxRecorder(WhileOpen whileOpen)
    : m_whileOpen(std::move(whileOpen)), m_previous(activeRecorder) {
    activeRecorder = this;
}

MessageBoxRecorder::~MessageBoxRecorder() {
    activeRecorder = m_previous;
}

void Show(QWidget* parent, const QString& text, const QString& caption, int iconFlag,
          const QString& detailedText) {
    if (MessageBoxRecorder* rec = activeRecorder) {
        RecordedBox box{text, caption, iconFlag, detailedText};
        rec->m_boxes.push_back(box);
        // Copy the callback: it may replace itself or show further boxes while it runs.
        if (auto whileOpen = rec->m_whileOpen)
            whileOpen(box);
        return;
    }
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // On the heap and watched: if the parent window goes away while the box is up, it takes the box
    // with it, and the box must not be deleted a second time here.
    QPointer<QMessageBox> box = new QMessageBox(iconFor(iconFlag), caption, shown, QMessageBox::Ok, parent);
    // Port names and received text are shown as they are, never as markup.
    box->setTextFormat(Qt::PlainText);
    if (!detailedText.isEmpty())
        box->setDetailedText(detailedText);
    box->exec();
    delete box.data();
}

} // namespace msgbox
