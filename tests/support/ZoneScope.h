#pragma once
// Sets the process's local time zone (TZ) for the rest of a scope and puts
// back what was there before.

#include <QByteArray>
#include <QtGlobal>
#include <ctime>

class TZoneScope
{
public:
    explicit TZoneScope(const QByteArray& zone) : had_(qEnvironmentVariableIsSet("TZ")), saved_(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~TZoneScope()
    {
        if (had_)
            qputenv("TZ", saved_);
        else
            qunsetenv("TZ");
        tzset();
    }
    TZoneScope(const TZoneScope&) = delete;
    TZoneScope& operator=(const TZoneScope&) = delete;

private:
    bool had_;
    QByteArray saved_;
};
