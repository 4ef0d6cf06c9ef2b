#pragma once
// Names that are no regular file, as an import must refuse them: a pipe and
// a device (on Linux a FIFO and a link to /dev/zero; on Windows a named pipe
// and the NUL device). A reader that blocks on one is freed by unblock(), so
// that a test fails instead of hanging.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QUuid>
#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

class TSpecialFile
{
public:
    // Makes one of kind ("pipe" or "device"); on Linux in folder under name, on Windows the name
    // only marks it (the pipe's name ends so, the device has a name of its own).
    TSpecialFile(const QString& kind, const QString& folder, const QString& name)
    {
#ifdef Q_OS_WIN
        Q_UNUSED(folder);
        if (kind == QLatin1String("pipe")) {
            path_ = QStringLiteral("\\\\.\\pipe\\sms-") + QUuid::createUuid().toString(QUuid::Id128) +
                    QStringLiteral("-") + name;
            pipe_ = CreateNamedPipeW(reinterpret_cast<const wchar_t*>(path_.utf16()), PIPE_ACCESS_OUTBOUND,
                                     PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
            ok_ = pipe_ != INVALID_HANDLE_VALUE;
        } else {
            path_ = QStringLiteral("NUL");
            ok_ = true;
        }
#else
        path_ = QDir(folder).filePath(name);
        QFile::remove(path_);
        if (kind == QLatin1String("pipe"))
            ok_ = ::mkfifo(QFile::encodeName(path_).constData(), 0600) == 0;
        else
            ok_ = QFile::link(QStringLiteral("/dev/zero"), path_);
#endif
    }
    ~TSpecialFile()
    {
#ifdef Q_OS_WIN
        if (pipe_ != INVALID_HANDLE_VALUE)
            CloseHandle(pipe_);
#endif
    }
    TSpecialFile(const TSpecialFile&) = delete;
    TSpecialFile& operator=(const TSpecialFile&) = delete;

    bool ok() const { return ok_; }
    QString path() const { return path_; }

    // Frees a reader that waits on the pipe (a writer comes and goes).
    void unblock()
    {
#ifdef Q_OS_WIN
        if (pipe_ != INVALID_HANDLE_VALUE) {
            DisconnectNamedPipe(pipe_);
            CloseHandle(pipe_);
            pipe_ = INVALID_HANDLE_VALUE;
        }
#else
        const int fd = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
#endif
    }

private:
    QString path_;
    bool ok_ = false;
#ifdef Q_OS_WIN
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
#endif
};
