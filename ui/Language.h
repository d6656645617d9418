// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which language the window speaks, and the translators that make it do so.
//
// Every text of the window is written in Russian in the sources; English comes from the translation
// embedded in the program (translations/comlab_en.ts). Qt's own texts (the buttons of its dialogs, the
// standard context menus) come from Qt's translations where they are installed.
#include <QStringList>

#include <memory>
#include <vector>

class QTranslator;

enum class UiLanguage {
    C,       // the C or POSIX locale: the Russian texts, and Qt's own texts untranslated, as always
    Russian, // the Russian texts, and Qt's own texts in Russian where Qt's translations are installed
    English, // the English translation
};

// The language for a user whose UI languages are `uiLanguages`, most preferred first (as
// QLocale::system().uiLanguages() gives them, following LANGUAGE, LC_ALL, LC_MESSAGES and LANG).
// The first one the window speaks wins; a list of languages it does not speak gives English.
UiLanguage ChooseLanguage(const QStringList& uiLanguages);

// The language of this user's session.
UiLanguage SystemLanguage();

// Installs the translators of a language into the application while alive, and removes them when it
// goes. Windows built meanwhile speak that language; windows built before keep their texts.
class Translations {
public:
    explicit Translations(UiLanguage language);
    ~Translations();
    Translations(const Translations&) = delete;
    Translations& operator=(const Translations&) = delete;

    UiLanguage language() const { return m_language; }
    // Whether Qt's own translation for the language was found and installed.
    bool qtTranslated() const { return m_qtTranslated; }

private:
    bool install(const QString& file, const QString& directory);

    UiLanguage m_language;
    bool m_qtTranslated = false;
    std::vector<std::unique_ptr<QTranslator>> m_installed;
};
