#pragma once
// The rules of a send batch that the send page and the data module share: how
// many messages a text takes, what a batch costs, and how its number texts are
// written.

#include <QString>
#include <QStringList>

// UTF-16 units of text in one message segment.
inline constexpr int SegmentUnits = 70;

// The segments a text of that many UTF-16 units is sent in: one for every
// SegmentUnits begun, 0 for an empty text.
int SegmentCount(qsizetype units);

// The messages a batch costs: every number receives every segment. In 64 bits.
qint64 BatchCost(qint64 phoneCount, int segments);

// The pending numbers of a batch as one text: the test numbers, then the
// hand-entered ones, each followed by a line feed.
QString PendingPhonesText(const QStringList& testPhones, const QStringList& phones);
