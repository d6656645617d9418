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

QString AskFileToWrite(QWidget* parent, const QString& caption, const QString& suggestedName, Write mode) {
    if (FileDialogStub* stub = activeStub) {
        stub->m_captions.append(caption);
        if (stub->m_answers.empty())
            return QString();
        QString path = stub->m_answers.front();
        stub->m_answers.pop_front();
        return path;
    }
    QFileDialog::Options options;
    if (mode == Write::Append)
        options |= QFileDialog::DontConfirmOverwrite;
    return QFileDialog::getSaveFileName(parent, caption, QDir::home().filePath(suggestedName), QString(),
                                        nullptr, options);
}

} // namespace filedlg
