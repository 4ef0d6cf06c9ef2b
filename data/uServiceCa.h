#pragma once
// The service's CA certificate (PEM) as the build was given it
// (SMS_SERVICE_CA); empty when the build named none.

#include <QByteArray>

QByteArray BuiltInServiceCa();
