#pragma once

#include <QStringList>

// Runs the number entry dialog; on OK the caller's list (created when null) holds the lines.
bool InputPhones(QStringList*& list);
bool InputTestPhones(QStringList*& list);
