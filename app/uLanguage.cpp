#include "app/uLanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace {
// Texts of Qt's file dialog that Qt's own Chinese translation does not have
// (their context was renamed): the kinds of entries in its list.
class TFileKindsChinese final : public QTranslator
{
public:
    using QTranslator::QTranslator;
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int n) const override
    {
        Q_UNUSED(disambiguation);
        Q_UNUSED(n);
        if (qstrcmp(context, "QAbstractFileIconProvider") != 0)
            return QString();
        static const struct
        {
            const char* source;
            const char* chinese;
        } texts[] = {{"Folder", "文件夹"},     {"File Folder", "文件夹"}, {"Drive", "驱动器"},
                     {"Shortcut", "快捷方式"}, {"Alias", "替身"},         {"File", "文件"},
                     {"%1 File", "%1 文件"}};
        for (const auto& t : texts)
            if (qstrcmp(sourceText, t.source) == 0)
                return QString::fromUtf8(t.chinese);
        return QString();
    }
};
} // namespace

bool InstallQtChinese()
{
    static QTranslator* translator = nullptr;
    if (translator)
        return true;
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    QCoreApplication::installTranslator(new TFileKindsChinese(QCoreApplication::instance()));
    auto* t = new QTranslator(QCoreApplication::instance());
    if (!t->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(t)) {
        delete t;
        return false;
    }
    translator = t;
    return true;
}
