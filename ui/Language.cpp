// SPDX-License-Identifier: GPL-3.0-or-later
#include "Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QtDebug>

UiLanguage ChooseLanguage(const QStringList& uiLanguages) {
    if (uiLanguages.isEmpty())
        return UiLanguage::C;
    for (const QString& tag : uiLanguages) {
        // "ru", "ru-RU", "ru_RU", "ru-Cyrl-RU": the language is the first subtag.
        const QString language = tag.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0);
        if (language == QLatin1String("C") || language == QLatin1String("POSIX"))
            return UiLanguage::C;
        if (language.compare(QLatin1String("ru"), Qt::CaseInsensitive) == 0)
            return UiLanguage::Russian;
        if (language.compare(QLatin1String("en"), Qt::CaseInsensitive) == 0)
            return UiLanguage::English;
    }
    return UiLanguage::English;
}

UiLanguage SystemLanguage() {
    return ChooseLanguage(QLocale::system().uiLanguages());
}

Translations::Translations(UiLanguage language) : m_language(language) {
    const QString qtDir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    switch (language) {
    case UiLanguage::C:
        break;
    case UiLanguage::Russian:
        // The window's texts are Russian already; Qt's buttons and menus follow where Qt has them.
        m_qtTranslated = install(QStringLiteral("qtbase_ru"), qtDir);
        break;
    case UiLanguage::English:
        // Qt's own texts are English already.
        if (!install(QStringLiteral("comlab_en"), QStringLiteral(":/i18n")))
            qWarning("comlab: the English translation is missing from the program; the window stays Russian");
        break;
    }
}

Translations::~Translations() {
    for (const auto& t : m_installed)
        QCoreApplication::removeTranslator(t.get());
}

bool Translations::install(const QString& file, const QString& directory) {
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(file, directory) || !QCoreApplication::installTranslator(translator.get()))
        return false;
    m_installed.push_back(std::move(translator));
    return true;
}
