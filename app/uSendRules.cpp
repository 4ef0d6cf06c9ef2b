#include "app/uSendRules.h"

int SegmentCount(qsizetype units)
{
    if (units <= 0)
        return 0;
    return int(units / SegmentUnits + (units % SegmentUnits > 0 ? 1 : 0));
}

qint64 BatchCost(qint64 phoneCount, int segments)
{
    return phoneCount * qint64(segments);
}

QString PendingPhonesText(const QStringList& testPhones, const QStringList& phones)
{
    const QStringList* lists[] = {&testPhones, &phones};
    qsizetype length = 0;
    for (const QStringList* list : lists)
        for (const QString& s : *list)
            length += s.size() + 1;
    QString text;
    text.reserve(length);
    for (const QStringList* list : lists)
        for (const QString& s : *list) {
            text += s;
            text += QLatin1Char('\n');
        }
    return text;
}
