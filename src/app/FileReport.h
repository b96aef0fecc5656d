#pragma once

#include <QJsonObject>
#include <QString>

// What pelorum-info says of an image file.

// Loads the file through FITSData. On success: file, format ("fits", "xisf",
// "image" or "raw"), width, height, channels, dataType (the CFITSIO type
// name, "TUSHORT"), bitpix (CFITSIO's equivalent type code: 20 for
// unsigned 16-bit data), bayer (the pattern after the offsets, or null),
// stats (min, max, mean, median, stddev: one value per channel; snr) and
// records (key, value: a number, a string or null, comment). A file that
// cannot be read gives file and error only.
QJsonObject describeImageFile(const QString& path);

// The same as a short block of text for people.
QString describeAsText(const QJsonObject& report);
