// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window's one way to ask for a file to write. Tests install a FileDialogStub that answers instead
// of a dialog.
#include <QString>
#include <QStringList>

#include <deque>

class QWidget;

namespace filedlg {

enum class Write {
    Replace, // the file is written anew: an existing one is replaced after the dialog asks
    Append,  // the file is added to: an existing one is kept, so the dialog does not ask
};

// The chosen path, or an empty string when the user cancelled.
QString AskFileToWrite(QWidget* parent, const QString& caption, const QString& suggestedName, Write mode);

// The chosen file to read, or an empty string when the user cancelled.
QString AskFileToRead(QWidget* parent, const QString& caption);

// While alive, AskFileToWrite and AskFileToRead take its answers from here, first to last (an empty string is
// a cancel; no answers left is a cancel too), and records the captions it was asked with.
class FileDialogStub {
public:
    explicit FileDialogStub(QStringList answers = {});
    ~FileDialogStub();
    FileDialogStub(const FileDialogStub&) = delete;
    FileDialogStub& operator=(const FileDialogStub&) = delete;

    void answer(const QString& path) { m_answers.push_back(path); }
    const QStringList& captions() const { return m_captions; }

private:
    friend QString AskFileToWrite(QWidget*, const QString&, const QString&, Write);
    friend QString AskFileToRead(QWidget*, const QString&);
    QString take(const QString& caption);
    std::deque<QString> m_answers;
    QStringList m_captions;
    FileDialogStub* m_previous = nullptr;
};

} // namespace filedlg
