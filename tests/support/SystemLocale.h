#pragma once
// Tests that a text the program writes or reads in a fixed form does not take
// the system's date and number formats. CTest runs such a test function a
// second time under another system locale (sms_add_locale_run), which sets
// SMS_SYSTEM_LOCALE to the locale's name.

#include <QLocale>
#include <QtTest>

// In a locale run: fails unless the system locale is the one the run asked for.
inline void verifySystemLocale()
{
    if (qEnvironmentVariableIsSet("SMS_SYSTEM_LOCALE"))
        QCOMPARE(QLocale::system().name(), qEnvironmentVariable("SMS_SYSTEM_LOCALE"));
}
