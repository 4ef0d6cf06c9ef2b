#pragma once
// Reading a list file's bytes: opening only regular files, reading in pieces,
// telling its encoding (byte-order mark, UTF-8, else GB18030 or the system
// code page) and splitting text into lines.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringView>
#include <algorithm>
#include <cstring>
#include <functional>
#include <type_traits>

class QFile;
class TImportJob;

// The size of the pieces a file is read in.
constexpr qsizetype ChunkBytes = qsizetype(1) << 20;

// Opens a regular file for reading without ever blocking: the kind of file is
// looked at before it is opened, and once more on what was opened, since the
// name may have changed hands in between. A pipe, a device or a folder is
// refused (false, *why says so).
bool OpenRegular(QFile& file, const QString& name, qint64* size, QString* why);

// Reads up to n bytes; fewer only at the end of the file. -1 on an error.
qsizetype ReadSome(QFile& file, char* out, qsizetype n);

// Checks UTF-8 from p on. Returns how many bytes form whole valid sequences;
// *bad is set when an invalid sequence follows them, otherwise the rest (at
// most 3 bytes) is the start of a sequence cut off by the end of the data.
qsizetype ValidUtf8Prefix(const uchar* p, qsizetype n, bool* bad);

enum class TMark { None, Utf8, Utf16LE, Utf16BE };
TMark MarkOf(QByteArrayView head, qsizetype* length);

struct TEncoding
{
    TMark mark = TMark::None;
    qsizetype markLength = 0;
    bool utf8 = false; // the bytes after the mark are valid UTF-8
};

// Reads the file from its start through `chunk` to find its mark and whether
// the rest is valid UTF-8. 0 when done, -1 on a read error, 1 when the
// file turned out larger than maxBytes.
int ScanEncoding(QFile& file, QByteArray& chunk, qint64 maxBytes, TEncoding* enc, TImportJob& job);

// The decoder for a text that is not valid UTF-8: by its mark, else GB18030
// where Qt has it, else the system code page (Windows) or one character a byte.
QStringDecoder DecoderFor(TMark mark);

// A string to UTF-8, appended to out.
void AppendUtf8(QByteArray& out, QStringView s);

// The whole text of a file in UTF-8, read (or decoded) straight from the
// file, so the raw bytes are not held beside it. Done, or how it failed.
enum class TTextRead { Done, ReadFailed, TooLarge };
TTextRead ReadUtf8Text(QFile& file, qint64 size, TImportJob& job, QByteArray* text);

// Splits bytes that arrive in pieces into lines ending at CR LF, LF or CR; a
// CR LF pair may be cut between two pieces. Used for UTF-8 and for UTF-16
// decoded piece by piece.
template <typename View, typename Buffer> class TLineSplitter
{
public:
    // f(line) for every line that ends in this piece; returns false when f did.
    template <typename F> bool feed(View piece, F&& f)
    {
        using Char = std::remove_cv_t<std::remove_reference_t<decltype(piece[0])>>;
        qsizetype b = 0;
        const qsizetype n = piece.size();
        if (skipLf_ && n > 0) {
            skipLf_ = false;
            if (piece[0] == Char('\n'))
                b = 1;
        }
        // The next LF and the next CR, each looked for again only once passed,
        // so that a piece is scanned once whichever line end it uses.
        qsizetype nextLf = find(piece, '\n', b), nextCr = find(piece, '\r', b);
        while (true) {
            const qsizetype i = std::min(nextLf, nextCr);
            if (i >= n)
                break;
            bool go;
            if (carry_.isEmpty()) {
                go = f(piece.sliced(b, i - b));
            } else {
                carry_.append(piece.sliced(b, i - b));
                go = f(View(carry_));
                carry_.clear();
            }
            b = i + 1;
            if (piece[i] == Char('\r')) {
                if (i + 1 < n) {
                    if (piece[i + 1] == Char('\n'))
                        ++b;
                } else {
                    skipLf_ = true;
                }
            }
            if (!go)
                return false;
            if (nextLf < b)
                nextLf = find(piece, '\n', b);
            if (nextCr < b)
                nextCr = find(piece, '\r', b);
        }
        if (b < n)
            carry_.append(piece.sliced(b));
        return true;
    }
    // The last line, when the data ends without a line end.
    template <typename F> bool finish(F&& f)
    {
        if (carry_.isEmpty())
            return true;
        const bool go = f(View(carry_));
        carry_.clear();
        return go;
    }

private:
    // Position of c in piece from `from` on, or the piece's size.
    static qsizetype find(QByteArrayView piece, char c, qsizetype from)
    {
        if (from >= piece.size())
            return piece.size();
        const void* p = std::memchr(piece.data() + from, c, size_t(piece.size() - from));
        return p ? static_cast<const char*>(p) - piece.data() : piece.size();
    }
    static qsizetype find(QStringView piece, char c, qsizetype from)
    {
        const qsizetype i = from < piece.size() ? piece.indexOf(QLatin1Char(c), from) : -1;
        return i < 0 ? piece.size() : i;
    }

    Buffer carry_;
    bool skipLf_ = false;
};
