// SPDX-License-Identifier: GPL-3.0-or-later
#include "FileDialog.h"

#include <QDir>
#include <QFileDialog>

namespace filedlg {

namespace {
FileDialogStub* activeStub = nullptr;
} // namespace

FileDialogStub::FileDialogStub(QStringList answers)
    : m_answers(answers.begin(), answers.end()), m_previous(activeStub) {
    activeStub = this;
}

FileDialogStub::~FileDialogStub() {
    activeStub = m_previous;
}

QString FileDialogStub::take(const QString& caption) {
    m_captions.append(caption);
    if (m_answers.empty())
        return QString();
    QString path = m_answers.front();
    m_answers.pop_front();
    return path;
}

QString AskFileToWrite(QWidget* parent, const QString& caption, const QString& suggestedName, Write mode) {
    if (FileDialogStub* stub = activeStub)
        return stub->take(caption);
    QFileDialog::Options options;
    if (mode == Write::Append)
        options |= QFileDialog::DontConfirmOverwrite;
    return QFileDialog::getSaveFileName(parent, caption, QDir::home().filePath(suggestedName), QString(),
                                        nullptr, options);
}

QString AskFileToRead(QWidget* parent, const QString& caption) {
    if (FileDialogStub* stub = activeStub)
        return stub->take(caption);
    return QFileDialog::getOpenFileName(parent, caption, QDir::homePath());
}

} // namespace filedlg
