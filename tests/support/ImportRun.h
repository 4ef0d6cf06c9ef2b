#pragma once
// Files for an import, and running the import with its lines collected: for
// the tests of the import itself (header only; they link the send library).

#include "send/uPhoneImport.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// The file `name` in dir with those bytes; its path, or empty when it could not be written.
inline QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        return {};
    return path;
}

// Runs an import (with its own reader, or the one given); the lines the sink received come back in *lines.
inline TImportOutcome RunImport(const QString& path, QStringList* lines, TPhoneImport* reader = nullptr)
{
    TPhoneImport own;
    TPhoneImport& r = reader ? *reader : own;
    lines->clear();
    return r.run(path, [lines](QByteArrayView line) {
        *lines << QString::fromUtf8(line);
        return true;
    });
}
