// The desktop's languages: the table of language codes with their menu
// captions, the compiled catalogs (<code>.qm) in the language folder shipped
// with the programs, and the translator that makes loadString read the chosen
// catalog (English is built in and used for every id a catalog lacks).
#pragma once

#include <QString>
#include <string>
#include <string_view>
#include <vector>

namespace vkt::gui {

struct LanguageEntry {
    const char* code;  // "en_us", "de", ...
    int captionId;     // string id of the menu caption
};

// Every language the tool knows, in menu order ("en_us" first).
const std::vector<LanguageEntry>& languageTable();
// The row of `code` (letter case ignored); nothing for an unknown code.
const LanguageEntry* findLanguage(std::string_view code);
// True for the built-in language: "en_us" or an empty code.
bool isBuiltInLanguage(std::string_view code);

// The folder of the catalogs and help pages (shippedFiles().languageDir), or
// the folder set by setLanguageFolder (an empty one restores the default).
QString languageFolder();
void setLanguageFolder(const QString& folder);

// The languages that can be chosen: English and every other row whose
// catalog is in the language folder, in table order.
std::vector<const LanguageEntry*> installedLanguages();

// Makes `code` the language of every string id from now on. English (an
// empty code or "en_us") needs no catalog. False, with English in use, when
// the catalog cannot be loaded.
bool useLanguage(std::string_view code);

// useLanguage for the setup file's default language at start-up; a failure
// is logged and English stays in use.
void selectStartupLanguage(const std::string& defaultLanguage);

}  // namespace vkt::gui
