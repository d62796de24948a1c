#pragma once
// Qt's own texts (standard buttons, the file dialog) in Simplified Chinese,
// so that they read as the rest of the station.
class QCoreApplication;

namespace tav::ui {

// Loads Qt's Simplified Chinese translations from Qt's translation folder
// and installs them into `app`. Returns false when they are missing (Debian
// ships them in qt6-translations-l10n); Qt's texts then stay English.
bool InstallQtTranslations(QCoreApplication &app);

}  // namespace tav::ui
