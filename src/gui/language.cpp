#include "gui/language.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTranslator>
#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

#include "app/strings.h"
#include "core/app_paths.h"
#include "core/error_log.h"

namespace vkt::gui {

namespace {

QString& folderOverride() {
    static QString folder;
    return folder;
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

QString catalogPath(const char* code) {
    return languageFolder() + QLatin1Char('/') + QLatin1String(code) + QStringLiteral(".qm");
}

// The catalog in use; its messages are keyed "vkt-<string id>".
std::unique_ptr<QTranslator>& activeCatalog() {
    static std::unique_ptr<QTranslator> catalog;
    return catalog;
}

void removeCatalog() {
    setTranslator(nullptr);
    if (auto& catalog = activeCatalog()) {
        QCoreApplication::removeTranslator(catalog.get());
        catalog.reset();
    }
}

std::optional<std::string> catalogText(int id) {
    const QByteArray key = "vkt-" + QByteArray::number(id);
    const QString text = qtTrId(key.constData());
    if (text == QLatin1String(key))  // not in the catalog
        return std::nullopt;
    return text.toStdString();
}

}  // namespace

const std::vector<LanguageEntry>& languageTable() {
    static const std::vector<LanguageEntry> table{
        {"en_us", 32788}, {"de", 32789},  {"fr", 32790}, {"fr_ca", 141}, {"it", 32791},
        {"nl", 139},      {"pl", 32792},  {"pt", 32793}, {"pt_br", 142}, {"ru", 32794},
        {"sp", 32795},    {"sp_la", 140}, {"tu", 32796},
    };
    return table;
}

const LanguageEntry* findLanguage(std::string_view code) {
    const std::string lower = lowerCase(code);
    for (const LanguageEntry& entry : languageTable())
        if (lower == entry.code)
            return &entry;
    return nullptr;
}

bool isBuiltInLanguage(std::string_view code) {
    return code.empty() || lowerCase(code) == "en_us";
}

QString languageFolder() {
    if (!folderOverride().isEmpty())
        return folderOverride();
    return QString::fromStdString(shippedFiles().languageDir);
}

void setLanguageFolder(const QString& folder) {
    folderOverride() = folder;
}

std::vector<const LanguageEntry*> installedLanguages() {
    std::vector<const LanguageEntry*> installed;
    for (const LanguageEntry& entry : languageTable())
        if (isBuiltInLanguage(entry.code) || QFileInfo(catalogPath(entry.code)).isFile())
            installed.push_back(&entry);
    return installed;
}

bool useLanguage(std::string_view code) {
    removeCatalog();
    if (isBuiltInLanguage(code))
        return true;
    const LanguageEntry* entry = findLanguage(code);
    if (!entry)
        return false;
    auto catalog = std::make_unique<QTranslator>();
    if (!catalog->load(catalogPath(entry->code)) ||
        !QCoreApplication::installTranslator(catalog.get()))
        return false;
    activeCatalog() = std::move(catalog);
    setTranslator(catalogText);
    return true;
}

void selectStartupLanguage(const std::string& defaultLanguage) {
    if (!useLanguage(defaultLanguage))
        ErrorLog::instance().writeLine("Error:failed to load resource realted to language.");
}

}  // namespace vkt::gui
