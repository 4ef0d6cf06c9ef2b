#include "app/uWindowPlacement.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QTemporaryFile>
#include <QWidget>

namespace {

bool readBool(const QSettings& ini, const QString& key)
{
    bool ok = false;
    const int v = ini.value(key).toString().trimmed().toInt(&ok);
    return ok && v != 0;
}

int readInt(const QSettings& ini, const QString& key, int fallback)
{
    bool ok = false;
    const int v = ini.value(key).toString().trimmed().toInt(&ok);
    return ok ? v : fallback;
}

} // namespace

TWindowPlacement::TWindowPlacement(QString file, QString section)
    : file_(std::move(file)), section_(std::move(section))
{
}

QString TWindowPlacement::FileFor(const QString& programFile, const QString& configFolder,
                                  const TWriteCheck& canWrite)
{
    const QFileInfo fi(programFile);
    const QString name = fi.completeBaseName() + QStringLiteral(".ini");
    const QString beside = QDir(fi.path()).filePath(name);
    if (configFolder.isEmpty() || (canWrite && canWrite(beside)))
        return beside;
    return QDir(configFolder).filePath(name);
}

bool TWindowPlacement::CanWriteFile(const QString& path)
{
    // Tried, not read from permission bits (on Windows those say little about
    // a folder). The file is written by replacing it, so its folder must take
    // a new file even when the file exists.
    const QFileInfo file(path);
    const QFileInfo folder(file.path());
    if (!folder.isDir())
        return false;
    QTemporaryFile probe(
        QDir(folder.filePath()).filePath(file.completeBaseName() + QStringLiteral(".XXXXXX")));
    if (!probe.open())
        return false;
    if (!file.exists())
        return true;
    QFile existing(path);
    return file.isFile() && existing.open(QIODevice::WriteOnly | QIODevice::Append);
}

bool TWindowPlacement::Saved() const
{
    QSettings ini(file_, QSettings::IniFormat);
    ini.beginGroup(section_);
    return readBool(ini, QStringLiteral("Saved"));
}

bool TWindowPlacement::Apply(QWidget& window, bool centre) const
{
    if (centre) {
        if (const QScreen* s = QGuiApplication::primaryScreen()) {
            QRect r = window.geometry();
            r.moveCenter(s->availableGeometry().center());
            window.setGeometry(r);
        }
    }
    QSettings ini(file_, QSettings::IniFormat);
    ini.beginGroup(section_);
    const QRect cur = window.geometry();
    const int left = readInt(ini, QStringLiteral("Left"), cur.left());
    const int top = readInt(ini, QStringLiteral("Top"), cur.top());
    const int right = readInt(ini, QStringLiteral("Right"), cur.x() + cur.width());
    const int bottom = readInt(ini, QStringLiteral("Bottom"), cur.y() + cur.height());
    QRect r(left, top, right - left, bottom - top);
    if (r.width() <= 0 || r.height() <= 0)
        r.setSize(cur.size());
    window.setGeometry(r);
    // A corner on no monitor: the window's outer corner goes to the screen's origin.
    if (!QGuiApplication::screenAt(r.topLeft()))
        window.move(0, 0);
    return readBool(ini, QStringLiteral("Maximized"));
}

bool TWindowPlacement::Store(const QWidget& window) const
{
    // The user's configuration folder may not exist yet.
    QDir().mkpath(QFileInfo(file_).path());
    const QRect r = window.normalGeometry().isValid() ? window.normalGeometry() : window.geometry();
    QSettings ini(file_, QSettings::IniFormat);
    ini.beginGroup(section_);
    ini.setValue(QStringLiteral("Maximized"), window.isMaximized() ? 1 : 0);
    ini.setValue(QStringLiteral("Left"), r.x());
    ini.setValue(QStringLiteral("Top"), r.y());
    ini.setValue(QStringLiteral("Right"), r.x() + r.width());
    ini.setValue(QStringLiteral("Bottom"), r.y() + r.height());
    ini.setValue(QStringLiteral("Saved"), 1);
    ini.endGroup();
    ini.sync();
    return ini.status() == QSettings::NoError;
}
