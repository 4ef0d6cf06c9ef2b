#include "send/import/uTextInput.h"

#include "send/import/uImportJob.h"

#include <QFile>
#include <cerrno>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QDir>
#include <fcntl.h>
#include <io.h>
#include <qt_windows.h>
#endif

#ifndef Q_OS_UNIX
namespace {
// The system's text for a Windows error code.
QString systemText(DWORD code)
{
    wchar_t* buf = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    QString text = n ? QString::fromWCharArray(buf, int(n)).trimmed() : QString();
    LocalFree(buf);
    return text.isEmpty() ? QStringLiteral("错误 %1").arg(code) : text;
}
} // namespace
#endif

bool OpenRegular(QFile& file, const QString& name, qint64* size, QString* why)
{
    const QString folder = QStringLiteral("这是一个文件夹，不是文件");
    const QString notPlain = QStringLiteral("不是普通文件（设备、管道等不能导入）");
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(name);
    struct stat st;
    auto kind = [&](const struct stat& s) -> QString {
        if (S_ISREG(s.st_mode))
            return {};
        if (S_ISDIR(s.st_mode))
            return folder;
        return notPlain;
    };
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0) {
        *why = qt_error_string(path.isEmpty() ? ENOENT : errno);
        return false;
    }
    if (QString k = kind(st); !k.isEmpty()) {
        *why = k;
        return false;
    }
    int fd;
    do
        fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *why = qt_error_string(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !kind(st).isEmpty()) {
        *why = kind(st).isEmpty() ? qt_error_string(errno) : kind(st);
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *why = file.errorString();
        ::close(fd);
        return false;
    }
    *size = st.st_size;
    return true;
#else // Windows
    // The kind is told by what was opened: a name such as NUL, COM1 or
    // \\.\pipe\x opens a device or a pipe, not a file on a disk. Opening
    // either does not wait; reading might.
    const std::wstring path = QDir::toNativeSeparators(name).toStdWString();
    if (name.isEmpty()) {
        *why = systemText(ERROR_FILE_NOT_FOUND);
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = folder;
        return false;
    }
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = systemText(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        *why = notPlain;
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        *why = systemText(GetLastError());
        CloseHandle(h);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *why = file.errorString();
        _close(fd);
        return false;
    }
    *size = (qint64(info.nFileSizeHigh) << 32) | qint64(info.nFileSizeLow);
    return true;
#endif
}

qsizetype ReadSome(QFile& file, char* out, qsizetype n)
{
    qsizetype got = 0;
    while (got < n) {
        const qint64 r = file.read(out + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += qsizetype(r);
    }
    return got;
}

TMark MarkOf(QByteArrayView head, qsizetype* length)
{
    if (head.startsWith("\xEF\xBB\xBF")) {
        *length = 3;
        return TMark::Utf8;
    }
    if (head.startsWith("\xFF\xFE")) {
        *length = 2;
        return TMark::Utf16LE;
    }
    if (head.startsWith("\xFE\xFF")) {
        *length = 2;
        return TMark::Utf16BE;
    }
    *length = 0;
    return TMark::None;
}

qsizetype ValidUtf8Prefix(const uchar* p, qsizetype n, bool* bad)
{
    *bad = false;
    qsizetype i = 0;
    while (i < n) {
        // Runs of ASCII, eight bytes at a time.
        while (i + 8 <= n) {
            quint64 w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ULL)
                break;
            i += 8;
        }
        if (i >= n)
            break;
        const uchar c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len;
        uint min;
        uint cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2, min = 0x80, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, min = 0x800, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4, min = 0x10000, cp = c & 0x07;
        } else {
            *bad = true;
            return i;
        }
        for (int k = 1; k < len; ++k) {
            if (i + k >= n)
                return i; // cut off: the caller brings more bytes
            const uchar t = p[i + k];
            if ((t & 0xC0) != 0x80) {
                *bad = true;
                return i;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            *bad = true;
            return i;
        }
        i += len;
    }
    return i;
}

int ScanEncoding(QFile& file, QByteArray& chunk, qint64 maxBytes, TEncoding* enc, TImportJob& job)
{
    if (!file.seek(0))
        return -1;
    qsizetype got = ReadSome(file, chunk.data(), chunk.size());
    if (got < 0)
        return -1;
    enc->mark = MarkOf(QByteArrayView(chunk.constData(), got), &enc->markLength);
    enc->utf8 = enc->mark == TMark::None || enc->mark == TMark::Utf8;
    if (!enc->utf8)
        return 0;
    qint64 total = got;
    qsizetype from = enc->markLength;
    while (true) {
        bool bad = false;
        const qsizetype ok =
            ValidUtf8Prefix(reinterpret_cast<const uchar*>(chunk.constData()) + from, got - from, &bad);
        if (bad) {
            enc->utf8 = false;
            return 0;
        }
        const qsizetype keep = got - from - ok; // a sequence cut off at the chunk's end
        std::memmove(chunk.data(), chunk.constData() + from + ok, size_t(keep));
        const qsizetype more = ReadSome(file, chunk.data() + keep, chunk.size() - keep);
        if (more < 0)
            return -1;
        if (more == 0) {
            enc->utf8 = keep == 0;
            return 0;
        }
        total += more;
        if (total > maxBytes)
            return 1;
        got = keep + more;
        from = 0;
        job.tick();
    }
}

QStringDecoder DecoderFor(TMark mark)
{
    switch (mark) {
    case TMark::Utf16LE:
        return QStringDecoder(QStringConverter::Utf16LE);
    case TMark::Utf16BE:
        return QStringDecoder(QStringConverter::Utf16BE);
    case TMark::Utf8:
        return QStringDecoder(QStringConverter::Utf8);
    case TMark::None:
        break;
    }
    QStringDecoder gb("GB18030");
    if (gb.isValid())
        return gb;
#ifdef Q_OS_WIN
    // A Qt without that codec: the system code page (936 on a Chinese Windows).
    return QStringDecoder(QStringConverter::System);
#else
    // No GB18030 codec on this system: keep every byte as one character.
    return QStringDecoder(QStringConverter::Latin1);
#endif
}

void AppendUtf8(QByteArray& out, QStringView s)
{
    bool ascii = true;
    for (QChar c : s)
        if (c.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    if (!ascii) {
        out.append(s.toUtf8());
        return;
    }
    const qsizetype at = out.size();
    out.resize(at + s.size());
    char* o = out.data() + at;
    for (QChar c : s)
        *o++ = char(c.unicode());
}

TTextRead ReadUtf8Text(QFile& file, qint64 size, TImportJob& job, QByteArray* text)
{
    QByteArray chunk(ChunkBytes, Qt::Uninitialized);
    TEncoding enc;
    if (const int r = ScanEncoding(file, chunk, job.maxBytes(), &enc, job); r != 0)
        return r < 0 ? TTextRead::ReadFailed : TTextRead::TooLarge;
    if (!file.seek(enc.markLength))
        return TTextRead::ReadFailed;
    const qsizetype expected = qsizetype(std::min(size, job.maxBytes()));
    if (enc.utf8) {
        chunk = QByteArray();
        text->resize(expected - enc.markLength + 1);
        const qsizetype got = ReadSome(file, text->data(), text->size());
        if (got < 0)
            return TTextRead::ReadFailed;
        if (got == text->size()) // grew since it was looked at
            return TTextRead::TooLarge;
        text->truncate(got);
        return TTextRead::Done;
    }
    QStringDecoder decoder = DecoderFor(enc.mark);
    text->reserve(expected * 3 / 2 + 16); // the most UTF-8 can take
    qint64 total = enc.markLength;
    while (true) {
        const qsizetype n = ReadSome(file, chunk.data(), chunk.size());
        if (n < 0)
            return TTextRead::ReadFailed;
        if (n == 0)
            break;
        if ((total += n) > job.maxBytes())
            return TTextRead::TooLarge;
        const QString piece = decoder(QByteArrayView(chunk.constData(), n));
        AppendUtf8(*text, piece);
        job.tick();
    }
    return TTextRead::Done;
}
