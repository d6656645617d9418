// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window's one way to show a modal message box. Tests install a MessageBoxRecorder to capture
// boxes instead of showing them.
#include <QString>

#include <functional>
#include <vector>

class QWidget;

namespace msgbox {

enum Icon { IconError = 16, IconInformation = 64 };

// A modal box with one OK button. "\r\n" in the text is shown as a single line break. A detailed text,
// when given, is what the box shows on asking for the details. Runs a nested event loop (timers keep
// firing) and returns when the box is closed.
void Show(QWidget* parent, const QString& text, const QString& caption, int iconFlag,
          const QString& detailedText = QString());

struct RecordedBox {
    QString text; // as given, line breaks untouched
    QString caption;
    int icon = 0;
    QString detailedText;
};

// While alive, Show records each box here instead of showing it. Recorders nest: the innermost one
// records, and the previous one is active again when it goes away.
class MessageBoxRecorder {
public:
    // Runs while the recorded box counts as open: e.g. process pending events the way a real box's
    // nested loop would.
    using WhileOpen = std::function<void(const RecordedBox&)>;

    explicit MessageBoxRecorder(WhileOpen whileOpen = {});
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    const std::vector<RecordedBox>& boxes() const { return m_boxes; }
    void clear() { m_boxes.clear(); }
    void setWhileOpen(WhileOpen whileOpen) { m_whileOpen = std::move(whileOpen); }

private:
    friend void Show(QWidget*, const QString&, const QString&, int, const QString&);
    std::vector<RecordedBox> m_boxes;
    WhileOpen m_whileOpen;
    MessageBoxRecorder* m_previous = nullptr;
};

} // namespace msgbox
