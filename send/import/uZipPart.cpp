#include "send/import/uZipPart.h"

#include "send/import/uTextInput.h"

#include <QFile>
#include <QStringDecoder>
#include <QThread>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <quazip.h>
#include <quazipfile.h>

namespace {

constexpr qsizetype Piece = 256 * 1024;

// Unpacks a large part on a thread of its own, a few pieces ahead of its
// reader: inflating and reading the XML, the two halves of a workbook's
// time, then run side by side. The file is not touched by anyone else until
// finish() has waited for the thread.
class TReadAhead
{
public:
    explicit TReadAhead(QuaZipFile& file) : file_(file)
    {
        thread_.reset(QThread::create([this] { run(); }));
        thread_->start();
    }
    ~TReadAhead() { finish(); }
    TReadAhead(const TReadAhead&) = delete;
    TReadAhead& operator=(const TReadAhead&) = delete;

    // The next piece into out (room for Piece bytes): its size, 0 at the end, -1 on an error.
    qint64 read(char* out)
    {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !pieces_.empty() || ended_; });
        if (pieces_.empty())
            return failed_ ? -1 : 0;
        const QByteArray piece = std::move(pieces_.front());
        pieces_.pop_front();
        room_.notify_one();
        lock.unlock();
        std::memcpy(out, piece.constData(), size_t(piece.size()));
        return piece.size();
    }
    // Stops the thread, should it still be unpacking, and waits for it.
    void finish()
    {
        if (!thread_)
            return;
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        room_.notify_one();
        thread_->wait();
        thread_.reset();
    }

private:
    static constexpr size_t Depth = 4;

    void run()
    {
        for (;;) {
            QByteArray piece(Piece, Qt::Uninitialized);
            const qint64 n = file_.read(piece.data(), Piece);
            std::unique_lock lock(mutex_);
            if (n > 0) {
                piece.truncate(qsizetype(n));
                room_.wait(lock, [&] { return pieces_.size() < Depth || stop_; });
            }
            if (n <= 0 || stop_) {
                failed_ = n < 0;
                ended_ = true;
                ready_.notify_one();
                return;
            }
            pieces_.push_back(std::move(piece));
            ready_.notify_one();
        }
    }

    QuaZipFile& file_;
    std::unique_ptr<QThread> thread_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<QByteArray> pieces_;
    bool ended_ = false, failed_ = false, stop_ = false;
};

// One part as it is unpacked, in UTF-8, at most maxBytes.
class TPartStream
{
public:
    TPartStream(QuaZipFile& file, const QString& name, qint64 maxBytes)
        : file_(file), name_(name), maxBytes_(maxBytes)
    {
        if (file.usize() > 4 * Piece)
            readAhead_ = std::make_unique<TReadAhead>(file);
    }
    // Done with the file: the thread that unpacks ahead, if any, has ended.
    void finish()
    {
        if (readAhead_)
            readAhead_->finish();
    }

    // Appends the next piece to buf; false at the end or on an error.
    bool pull(QByteArray& buf)
    {
        if (done_)
            return false;
        QByteArray& into = decoder_ ? raw_ : buf;
        const qsizetype at = decoder_ ? 0 : buf.size();
        if (into.capacity() < at + Piece)
            into.reserve(2 * (at + Piece));
        into.resize(at + Piece);
        const qint64 n = readAhead_ ? readAhead_->read(into.data() + at) : file_.read(into.data() + at, Piece);
        into.resize(at + std::max<qint64>(n, 0));
        if (n <= 0) {
            done_ = true;
            if (n < 0)
                error_ = QStringLiteral("解压 %1 失败（错误 %2）").arg(name_).arg(file_.getZipError());
            return false;
        }
        if ((unpacked_ += n) > maxBytes_) {
            done_ = tooLarge_ = true;
            into.resize(at);
            return false;
        }
        if (first_) {
            first_ = false;
            if (!chooseEncoding(into, at))
                return false;
        }
        if (decoder_) {
            const QString chars = (*decoder_)(QByteArrayView(raw_));
            AppendUtf8(buf, chars);
            if (decoder_->hasError()) {
                done_ = true;
                error_ = QStringLiteral("%1 中有无法解码的字符").arg(name_);
                return false;
            }
        }
        return true;
    }

    bool tooLarge() const { return tooLarge_; }
    const QString& error() const { return error_; }

private:
    // The part's encoding from its first bytes: UTF-8 unless a byte-order mark
    // or the XML declaration says otherwise. A UTF-8 mark is dropped.
    bool chooseEncoding(QByteArray& data, qsizetype at)
    {
        const QByteArrayView head = QByteArrayView(data).sliced(at);
        qsizetype markLength = 0;
        const TMark mark = MarkOf(head, &markLength);
        if (mark == TMark::Utf8) {
            data.remove(at, markLength);
            return true;
        }
        if (mark != TMark::None || head.startsWith(QByteArrayView("<\0?\0", 4)) ||
            head.startsWith(QByteArrayView("\0<\0?", 4))) {
            const bool be = mark == TMark::Utf16BE || head.startsWith(QByteArrayView("\0<", 2));
            return decodeAs(data, at, QStringDecoder(be ? QStringConverter::Utf16BE : QStringConverter::Utf16LE));
        }
        if (!head.startsWith("<?xml"))
            return true;
        const qsizetype end = head.indexOf("?>");
        const QByteArrayView declaration = head.first(end < 0 ? std::min<qsizetype>(head.size(), 200) : end);
        const qsizetype e = declaration.indexOf("encoding");
        if (e < 0)
            return true;
        qsizetype q = e + 8;
        while (q < declaration.size() && declaration[q] != '"' && declaration[q] != '\'')
            ++q;
        if (q >= declaration.size())
            return true;
        const qsizetype close = declaration.indexOf(declaration[q], q + 1);
        if (close < 0)
            return true;
        const QByteArray encoding = declaration.sliced(q + 1, close - q - 1).toByteArray().toLower();
        if (encoding == "utf-8" || encoding == "utf8")
            return true;
        QStringDecoder decoder(encoding.constData());
        if (!decoder.isValid()) {
            done_ = true;
            error_ = QStringLiteral("%1 的编码 %2 无法识别").arg(name_, QString::fromLatin1(encoding));
            return false;
        }
        return decodeAs(data, at, std::move(decoder));
    }
    // From here on the raw bytes go through the decoder; what was read so far too.
    bool decodeAs(QByteArray& data, qsizetype at, QStringDecoder decoder)
    {
        decoder_ = std::make_unique<QStringDecoder>(std::move(decoder));
        raw_ = data.sliced(at);
        data.truncate(at);
        return true;
    }

    QuaZipFile& file_;
    QString name_;
    qint64 maxBytes_;
    qint64 unpacked_ = 0;
    bool first_ = true;
    bool done_ = false;
    bool tooLarge_ = false;
    QString error_;
    std::unique_ptr<QStringDecoder> decoder_;
    QByteArray raw_;
    std::unique_ptr<TReadAhead> readAhead_;
};

// Opens the part for reading; Ok, or why not.
TPartResult openPart(QuaZip& zip, QuaZipFile& file, const QString& name, qint64 maxBytes)
{
    TPartResult out{TPartResult::Ok, name, {}};
    if (!zip.setCurrentFile(name, QuaZip::csInsensitive)) {
        out.kind = TPartResult::Missing;
        return out;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        out.kind = TPartResult::Broken;
        out.detail = QStringLiteral("无法读取 %1（错误 %2）").arg(name).arg(file.getZipError());
        return out;
    }
    if (file.usize() > maxBytes)
        out.kind = TPartResult::TooLarge;
    return out;
}

// After the part was read to its end: its size and check sum.
TPartResult closePart(QuaZipFile& file, TPartStream& stream, TPartResult out)
{
    stream.finish();
    if (stream.tooLarge()) {
        out.kind = TPartResult::TooLarge;
    } else if (!stream.error().isEmpty()) {
        out.kind = TPartResult::Broken;
        out.detail = stream.error();
    } else {
        file.close();
        if (file.getZipError() != 0) {
            out.kind = TPartResult::Broken;
            out.detail = QStringLiteral("%1 校验失败（错误 %2）").arg(out.part).arg(file.getZipError());
        }
    }
    return out;
}

} // namespace

TPartResult ScanZipPart(QuaZip& zip, const QString& name, qint64 maxBytes,
                        const std::function<bool(TXmlScanner&)>& consume)
{
    QuaZipFile file(&zip);
    TPartResult out = openPart(zip, file, name, maxBytes);
    if (out.kind != TPartResult::Ok)
        return out;
    TPartStream stream(file, name, maxBytes);
    TXmlScanner xml([&](QByteArray& buf) { return stream.pull(buf); });
    const bool go = consume(xml);
    if (stream.tooLarge() || !stream.error().isEmpty())
        return closePart(file, stream, out);
    if (!go) {
        out.kind = TPartResult::Cancelled;
        return out;
    }
    if (!xml.errorString().isEmpty()) {
        out.kind = TPartResult::Broken;
        out.detail = QStringLiteral("%1 第 %2 个字节处：%3").arg(name).arg(xml.errorOffset() + 1).arg(xml.errorString());
        return out;
    }
    QByteArray rest;
    while (stream.pull(rest))
        rest.clear();
    return closePart(file, stream, out);
}

TPartResult ReadZipPart(QuaZip& zip, const QString& name, qint64 maxBytes, QByteArray* out)
{
    QuaZipFile file(&zip);
    TPartResult result = openPart(zip, file, name, maxBytes);
    if (result.kind != TPartResult::Ok)
        return result;
    TPartStream stream(file, name, maxBytes);
    out->clear();
    while (stream.pull(*out)) {
    }
    return closePart(file, stream, result);
}

TImportOutcome OpenWorkbookZip(QuaZip& zip, QFile& file, TImportJob& job, const QString& kind)
{
    if (!file.seek(0))
        return job.readFailed(file.errorString());
    zip.setIoDevice(&file);
    zip.setAutoClose(false);
    if (!zip.open(QuaZip::mdUnzip))
        return job.damaged(kind, QStringLiteral("不是 ZIP 压缩格式"));
    return TImportOutcome::Done;
}

TImportOutcome PartFailed(TImportJob& job, const QString& kind, const TPartResult& part)
{
    switch (part.kind) {
    case TPartResult::TooLarge:
        return job.tooLarge();
    case TPartResult::Missing:
        return job.damaged(kind, QStringLiteral("缺少 %1").arg(part.part));
    case TPartResult::Cancelled:
        return job.stopped();
    case TPartResult::Ok:
    case TPartResult::Broken:
        break;
    }
    return job.damaged(kind, part.detail);
}
