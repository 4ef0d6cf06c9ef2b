#pragma once
// Qt's own texts (file dialog, context menus of text fields, calendars,
// standard buttons) in Chinese, whatever the system language.

// Installs Qt's Chinese translation on the running application and makes
// Chinese the language of the widgets created from then on (month and day
// names of the calendars). Later calls do nothing. False when the translation
// file cannot be loaded (Qt's texts then stay as Qt ships them). The system's
// own date and time formats stay in use where the program asks for them.
bool InstallQtChinese();
