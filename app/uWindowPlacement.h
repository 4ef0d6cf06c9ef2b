#pragma once
// A window's placement kept in an INI file: its normal rectangle ("Left",
// "Top", "Right", "Bottom"), whether it was maximized ("Maximized") and
// whether a placement was stored at all ("Saved"), in one section of the file.
// Booleans are written as 1 or 0 and read as true for any integer but 0.

#include <QString>
#include <functional>

class QWidget;

class TWindowPlacement
{
public:
    // Says whether a file can be written (and replaced) at that path.
    using TWriteCheck = std::function<bool(const QString& file)>;

    TWindowPlacement(QString file, QString section);

    // The placement file of programFile, named after it with the extension
    // ".ini": beside it when canWrite says that file can be written there (a
    // copy run from a folder of its own), else under the same name in
    // configFolder (an installed program).
    static QString FileFor(const QString& programFile, const QString& configFolder,
                           const TWriteCheck& canWrite);
    // The write check of the file system: the file's folder takes a new file,
    // and the file, where it exists, is a file that opens for writing.
    static bool CanWriteFile(const QString& path);

    QString File() const { return file_; }
    // Whether a placement was stored.
    bool Saved() const;
    // Gives window the stored rectangle (each missing value: the window's
    // current one), centred on the screen first when centre is set; a
    // rectangle whose top-left corner lies on no monitor moves to the screen's
    // origin. Returns whether the window is to be maximized.
    bool Apply(QWidget& window, bool centre) const;
    // Writes the window's normal rectangle and state; false when the file
    // could not be written.
    bool Store(const QWidget& window) const;

private:
    QString file_;
    QString section_;
};
