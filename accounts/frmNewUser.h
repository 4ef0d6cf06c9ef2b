#pragma once

#include <QString>

bool ShowNewUserDialog(const QString& parentName, int parentGrade);
