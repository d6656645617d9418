#pragma once
// Placeholder so the form builds on its own; the real exchange log replaces this file.
#include <QPlainTextEdit>

class ExchangeLog : public QPlainTextEdit {
    Q_OBJECT
public:
    using QPlainTextEdit::QPlainTextEdit;
};
