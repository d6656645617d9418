// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window's settings kept between runs, in ${XDG_CONFIG_HOME:-~/.config}/comlab/comlab.conf: the
// port and its line settings, the page shown, the receive and send forms, counting, the window's place,
// the send line's end and history, and the pause of a file send. Whatever is missing or cannot be read
// keeps the window's designed state. Nothing is read or written until the program asks (tests build
// windows that never touch the file).
#include <QObject>
#include <QString>

class TForm1;

class SettingsStore : public QObject {
    Q_OBJECT
public:
    explicit SettingsStore(TForm1* form, QString path = defaultPath());

    // ${XDG_CONFIG_HOME}/comlab/comlab.conf, or ~/.config/comlab/comlab.conf without it.
    static QString defaultPath();
    // Removes the file: the next start has the designed settings. False when it stays.
    static bool reset(const QString& path = defaultPath());

    const QString& path() const { return m_path; }

    // Puts what the file holds on the window.
    void load();
    // Writes the window's settings to the file; false when it could not be written.
    bool save();
    // From now on, saves after a connect and when the window closes.
    void setAutoSave(bool on) { m_autoSave = on; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TForm1* m_form;
    QString m_path;
    bool m_autoSave = false;
};
