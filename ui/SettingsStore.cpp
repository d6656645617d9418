// SPDX-License-Identifier: GPL-3.0-or-later
#include "SettingsStore.h"

#include "FileSendPanel.h"
#include "SendLine.h"
#include "TimeStamps.h"
#include "Unit1.h"
#include "ui_Unit1.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace {

// The combo boxes kept by index, under their keys.
std::vector<std::pair<const char*, QComboBox*>> combos(const Ui::Form1& ui) {
    return {
        {"port/com", ui.cbCOM},       {"port/rate", ui.cbBOD},     {"port/dataBits", ui.cbFORM},
        {"port/stopBits", ui.cbSTOP}, {"port/parity", ui.cbCHECK}, {"port/flowControl", ui.cbCONTROL},
    };
}

// The check boxes, and the first radio button of each pair, kept as true or false.
std::vector<std::pair<const char*, QAbstractButton*>> boxes(const Ui::Form1& ui) {
    return {
        {"port/customRateOn", ui.CheckBOD},
        {"exchange/receiveHex", ui.rbCOMinHex},
        {"exchange/receiveHexDuplicate", ui.cbInHexSym},
        {"exchange/receiveCharDuplicate", ui.cbInSymHex},
        {"exchange/sendHex", ui.rbOutHex},
        {"exchange/sendHexDuplicate", ui.cbOutHexSym},
        {"exchange/sendCharDuplicate", ui.cbOutSymHex},
        {"exchange/count", ui.cbCountOn},
    };
}

// An index the file holds, when it is a number the combo box has.
std::optional<int> indexIn(const QSettings& s, const char* key, int count) {
    bool ok = false;
    const int v = s.value(QLatin1String(key)).toInt(&ok);
    return ok && v >= 0 && v < count ? std::optional<int>(v) : std::nullopt;
}

std::optional<bool> flag(const QSettings& s, const char* key) {
    const QVariant v = s.value(QLatin1String(key));
    const QString t = v.toString();
    if (t == QLatin1String("true"))
        return true;
    if (t == QLatin1String("false"))
        return false;
    return std::nullopt;
}

} // namespace

SettingsStore::SettingsStore(TForm1* form, QString path)
    : QObject(form), m_form(form), m_path(std::move(path)) {
    form->installEventFilter(this);
    // A quit that closes no window (the session ends) keeps them too.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (m_autoSave)
            save();
    });
    // After the window's own handler: a port that opened has settings worth keeping.
    connect(form->ui->btCOMon, &QAbstractButton::clicked, this, [this] {
        if (m_autoSave && m_form->CPDrv->IsOpen())
            save();
    });
}

QString SettingsStore::defaultPath() {
    // The XDG rule: a relative value is to be ignored.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/comlab/comlab.conf");
}

bool SettingsStore::reset(const QString& path) {
    return !QFileInfo::exists(path) || QFile::remove(path);
}

void SettingsStore::load() {
    if (!QFileInfo(m_path).isFile())
        return;
    const QSettings s(m_path, QSettings::IniFormat);
    if (s.status() != QSettings::NoError)
        return;
    Ui::Form1& ui = *m_form->ui;
    for (const auto& [key, combo] : combos(ui)) {
        if (const auto i = indexIn(s, key, combo->count()))
            combo->setCurrentIndex(*i);
    }
    for (const auto& [key, box] : boxes(ui)) {
        if (const auto on = flag(s, key))
            box->setChecked(*on);
    }
    // The second button of each pair is the other choice.
    ui.rbCOMinSym->setChecked(!ui.rbCOMinHex->isChecked());
    ui.rbOutSym->setChecked(!ui.rbOutHex->isChecked());
    // The field takes digits only, as typed ones; at most what a 32-bit rate can be.
    const QString rate = s.value(QStringLiteral("port/customRate")).toString();
    if (rate.size() <= 10 &&
        std::all_of(rate.begin(), rate.end(), [](QChar c) { return c.isDigit() && c < u'\x80'; }))
        ui.edBOD->setText(rate);
    if (const auto page = indexIn(s, "window/page", ui.tnMain->count()))
        ui.tnMain->setCurrentIndex(*page);
    m_form->restoreGeometry(s.value(QStringLiteral("window/geometry")).toByteArray());

    if (const auto end = indexIn(s, "send/lineEnd", m_form->sendLine->lineEndBox()->count()))
        m_form->sendLine->setLineEnd(*end);
    m_form->sendLine->history().setEntries(s.value(QStringLiteral("send/history")).toStringList());
    if (const auto pacing = indexIn(s, "fileSend/pacing", int(m_form->fileSend->pacingActions.size())))
        m_form->fileSend->setPacingIndex(*pacing);
    if (const auto on = flag(s, "exchange/timeStamps"))
        m_form->timeStamps->action()->setChecked(*on);
}

bool SettingsStore::save() {
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    // Written beside it under a new name, then put in its place: a damaged file is replaced whole, and
    // a save cut short leaves the old file as it was.
    QString fresh;
    {
        QTemporaryFile temp(m_path + QStringLiteral(".XXXXXX"));
        temp.setAutoRemove(false);
        if (!temp.open())
            return false;
        fresh = temp.fileName();
    }
    bool ok = false;
    {
        QSettings s(fresh, QSettings::IniFormat);
        const Ui::Form1& ui = *m_form->ui;
        for (const auto& [key, combo] : combos(ui))
            s.setValue(QLatin1String(key), combo->currentIndex());
        for (const auto& [key, box] : boxes(ui))
            s.setValue(QLatin1String(key), box->isChecked());
        s.setValue(QStringLiteral("port/customRate"), ui.edBOD->text());
        s.setValue(QStringLiteral("window/page"), ui.tnMain->currentIndex());
        s.setValue(QStringLiteral("window/geometry"), m_form->saveGeometry());
        s.setValue(QStringLiteral("send/lineEnd"), int(m_form->sendLine->lineEnd()));
        s.setValue(QStringLiteral("send/history"), m_form->sendLine->history().entries());
        s.setValue(QStringLiteral("fileSend/pacing"), m_form->fileSend->pacingIndex());
        s.setValue(QStringLiteral("exchange/timeStamps"), m_form->timeStamps->action()->isChecked());
        s.sync();
        ok = s.status() == QSettings::NoError;
    }
    ok = ok && std::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(m_path).constData()) == 0;
    if (!ok)
        QFile::remove(fresh);
    return ok;
}

bool SettingsStore::eventFilter(QObject* watched, QEvent* event) {
    // While the window is still there to measure.
    if (watched == m_form && event->type() == QEvent::Close && m_autoSave)
        save();
    return QObject::eventFilter(watched, event);
}
