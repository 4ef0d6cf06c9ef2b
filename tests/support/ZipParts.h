#pragma once
// Writing small ZIP archives part by part for the import tests (workbooks
// made to show one fault). Header only: a test that uses it links QuaZip.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <quazip.h>
#include <quazipfile.h>

struct TPart
{
    QString name;
    QByteArray data;
};

// Parts in order; the first one stored without compression when storeFirst
// (an OpenDocument file's mimetype).
inline bool WriteZip(const QString& path, const QList<TPart>& parts, bool storeFirst = false)
{
    QFile::remove(path);
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const bool stored = storeFirst && i == 0;
        QuaZipFile f(&zip);
        if (!f.open(QIODevice::WriteOnly, QuaZipNewInfo(parts[i].name), nullptr, 0, stored ? 0 : Z_DEFLATED))
            return false;
        f.write(parts[i].data);
        f.close();
        if (f.getZipError() != 0)
            return false;
    }
    zip.close();
    return zip.getZipError() == 0;
}

inline QByteArray ReadWhole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
