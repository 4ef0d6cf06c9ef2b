#include "app/uLanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool InstallQtChinese()
{
    static QTranslator* translator = nullptr;
    if (translator)
        return true;
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    auto* t = new QTranslator(QCoreApplication::instance());
    if (!t->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(t)) {
        delete t;
        return false;
    }
    translator = t;
    return true;
}
