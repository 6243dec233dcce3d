#pragma once

#include <QByteArray>
#include <QVariantMap>

// The file's text with `values` set in its [General] section and everything else kept as
// QSettings reads it, lines it cannot read included.
QByteArray iniTextWithValues(QByteArray text, const QVariantMap& values);
