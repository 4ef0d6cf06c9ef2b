// Text files: one number a line, and delimited tables (CSV, TSV); the same
// for text from the clipboard.
#include "send/import/uDelimited.h"
#include "send/import/uListReader.h"
#include "send/import/uTextInput.h"

#include <QFile>

TImportOutcome TTextLinesReader::read(QFile& file, qint64, TImportJob& job)
{
    QByteArray chunk(ChunkBytes, Qt::Uninitialized);

    // First pass: the byte-order mark, and whether the rest is valid UTF-8.
    // Nothing is kept but a chunk, so the list is the only thing that grows.
    TEncoding enc;
    if (const int r = ScanEncoding(file, chunk, job.maxBytes(), &enc, job); r != 0)
        return r < 0 ? job.readFailed(file.errorString()) : job.tooLarge();

    // Second pass: the lines.
    if (!file.seek(enc.markLength))
        return job.readFailed(file.errorString());
    auto emitLine = [&](QByteArrayView line) {
        job.tick();
        return !HasContent(line) || job.take(line);
    };
    qint64 total = enc.markLength;
    QStringDecoder decoder;
    if (!enc.utf8)
        decoder = DecoderFor(enc.mark);
    TLineSplitter<QByteArrayView, QByteArray> bytesSplitter;
    TLineSplitter<QStringView, QString> charsSplitter;
    QByteArray line8;
    auto emitChars = [&](QStringView line) {
        line8.clear();
        AppendUtf8(line8, line);
        return emitLine(line8);
    };
    while (true) {
        const qsizetype n = ReadSome(file, chunk.data(), chunk.size());
        if (n < 0)
            return job.readFailed(file.errorString());
        if (n == 0)
            break;
        total += n;
        if (total > job.maxBytes())
            return job.tooLarge();
        const QByteArrayView piece(chunk.constData(), n);
        bool go;
        if (enc.utf8) {
            go = bytesSplitter.feed(piece, emitLine);
        } else {
            const QString chars = decoder(piece);
            go = charsSplitter.feed(QStringView(chars), emitChars);
        }
        if (!go)
            return job.stopped();
    }
    if (!(enc.utf8 ? bytesSplitter.finish(emitLine) : charsSplitter.finish(emitChars)))
        return job.stopped();
    return TImportOutcome::Done;
}

TImportOutcome TDelimitedReader::read(QFile& file, qint64 size, TImportJob& job)
{
    // The whole text in UTF-8: the column is chosen over all rows before any is taken.
    QByteArray text;
    switch (ReadUtf8Text(file, size, job, &text)) {
    case TTextRead::ReadFailed:
        return job.readFailed(file.errorString());
    case TTextRead::TooLarge:
        return job.tooLarge();
    case TTextRead::Done:
        break;
    }
    const TDelimitedTable table(text, ChooseDelimiter(text, preferred_));
    return job.takeNumberColumn(table, QStringLiteral("文件 \"%1\" ").arg(job.fileName()));
}

TImportOutcome ReadPastedText(QByteArrayView utf8, TImportJob& job)
{
    if (utf8.size() > job.maxBytes())
        return job.tooLarge();
    if (utf8.contains('\t'))
        return job.takeNumberColumn(TDelimitedTable(utf8, '\t'), QStringLiteral("复制的表格"));
    TLineSplitter<QByteArrayView, QByteArray> lines;
    auto emitLine = [&](QByteArrayView line) {
        job.tick();
        return !HasContent(line) || job.take(line);
    };
    if (!lines.feed(utf8, emitLine) || !lines.finish(emitLine))
        return job.stopped();
    return TImportOutcome::Done;
}
