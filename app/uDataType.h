#pragma once
// The client's one shared state record and the batch record handed to the data module.

#include <QString>
#include <QStringList>

inline const QString ClientVersion = QStringLiteral("1.2");

// The limit rate when the system parameters give none, or none that is a number.
inline constexpr double FallbackLimitRate = 90;

struct TPara
{
    // Logged-in customer
    QString UserName;
    QString Password;
    bool LoggedIn = false;
    int Grade = 0;
    QString CompanyId;
    // System parameters (table sysPara)
    QString Notice;
    double DefaultLimitRate = FallbackLimitRate;
    QString BookingNotice;
    QString ServerVersion;
    QString VersionMessage;
    // Pending phone lists of the batch being assembled on the send page
    QStringList TestPhones; // kind "test"
    QStringList Phones;     // kind "manual"
};

extern TPara Para;

// One send batch on its way from the send page to the data module.
struct TSmsRec
{
    QString PhonesText; // every number, each followed by a line feed
    qint64 PhoneCount = 0;
    QString TestPhonesText; // test numbers, then hand-entered numbers, each followed by a line feed
    QString Content;        // message text without carriage returns
    int MsgCount = 0;
    QString CustomerName;
    QString AppointTime; // "yyyy-MM-dd hh:mm:ss" for a booked send, empty otherwise
};

// Removes leading and trailing characters whose code is 32 or below.
QString TrimCtl(const QString& s);

// A number of bytes in mebibytes with one decimal ("12.5"), for messages.
QString Megabytes(qint64 bytes);

// The ways the client compares two passwords, each where it is used:
enum class TPasswordMatch {
    Exact,      // as typed, letter case counts (login, own-password page)
    IgnoreCase, // letter case ignored (the stored old password when it is changed)
    Trimmed     // both trimmed, then exactly (password and confirmation of a new sub-account)
};
bool SamePassword(const QString& a, const QString& b, TPasswordMatch how);
