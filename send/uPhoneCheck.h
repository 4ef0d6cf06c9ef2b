#pragma once
// What counts as a plausible mobile number. The number check of the send page
// and the spreadsheet import both ask here, so the rule lives in one place.

#include <QByteArrayView>
#include <QString>
#include <QStringView>

// True when the line, trimmed of characters of code 32 and below at both ends,
// is 11 digits beginning with 1, optionally preceded by +86, 0086 or 86.
bool IsPlausibleMobile(QStringView line);
// The same for a line held in UTF-8.
bool IsPlausibleMobile(QByteArrayView utf8);

// The rule in words, for reports to the user.
QString PlausibleMobileRule();
