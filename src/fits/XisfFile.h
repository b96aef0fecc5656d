#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Monolithic XISF 1.0 files: an 8-byte signature "XISF0100", the header's
// length as a little-endian uint32, a reserved uint32, the XML header, and
// data blocks at absolute byte positions given in the header.
//
// Reading takes the first Image element and accepts:
// - geometry "W:H:C" (two dimensions and a channel count), each 1..65535;
// - sampleFormat UInt8, UInt16, UInt32 or Float32;
// - colorSpace Gray (also when absent) or RGB, which needs 3 channels or more;
// - pixelStorage Planar (also when absent) or Normal, which is interleaved
//   and comes back planar;
// - byteOrder little (also when absent) or big, which comes back swapped;
// - location "attachment:POSITION:SIZE" (decimal bytes), "embedded" (a child
//   <Data encoding="base64">) or "inline:base64" (the Image's own text).
// FITSKeyword children come back in file order, with their XML escapes
// resolved; any other child or attribute is ignored, and so is a checksum.
//
// Every refusal throws std::runtime_error naming the file and what is wrong,
// before anything of the claimed image size is allocated:
// - "No XISF 1.0 signature at the start of NAME" (also for a file shorter
//   than the 16 bytes before the header);
// - "XISF header of N bytes beyond the end of NAME";
// - "Malformed XISF header in NAME: " + the XML parser's reason, or no xisf
//   root element, or "Unsupported XISF version V in NAME";
// - "No Image element in the XISF header of NAME";
// - "Malformed XISF geometry G in NAME", "Unsupported N-D XISF image
//   (geometry G) in NAME" for anything but two dimensions, "Unusable XISF
//   image in NAME: " + a zero size, a size above 65535, or RGB with fewer
//   than 3 channels;
// - "Unsupported XISF sample format F in NAME" (Int16, Float64, Complex32,
//   ...), and likewise for colour space, pixel storage, byte order and data
//   encoding;
// - "Compressed XISF data blocks are not supported: compression C in NAME";
// - "Distributed XISF data blocks are not supported: location L in NAME" for
//   path(...) and url(...), "Malformed XISF data block location L in NAME"
//   for anything else unknown;
// - "No Data element for the embedded XISF data block in NAME",
//   "Malformed base64 XISF data block in NAME";
// - "XISF data block beyond the end of NAME";
// - "XISF data block of N bytes in NAME, geometry G of F needs M".

enum class XisfSampleFormat { UInt8, UInt16, UInt32, Float32 };

struct XisfKeyword {
    QString name;
    QString value;
    QString comment;
};

// One image: samples stored planar (channel 0's plane, then 1, then 2), each
// plane row-major from the top row, samples in host (little-endian) byte
// order; pixels.size() == width * height * channels * bytesPerSample.
struct XisfImage {
    int width = 0, height = 0, channels = 0;
    XisfSampleFormat sampleFormat = XisfSampleFormat::UInt8;
    bool rgb = false;              // colour space RGB (else Gray)
    QByteArray pixels;
    QList<XisfKeyword> keywords;   // FITSKeyword elements of the image, in file order
};

// 1 for UInt8, 2 for UInt16, 4 for UInt32 and Float32.
int xisfBytesPerSample(XisfSampleFormat format);

// Reads the first Image element of a monolithic XISF 1.0 file held in memory.
// `name` only serves the messages.
XisfImage readXisf(const QByteArray& file, const QString& name);

// Reads the file, then as above. Also throws "Could not open XISF file PATH
// (REASON)", "Could not read XISF file PATH (REASON)" and, for a file that
// would not fit in memory as one QByteArray, "XISF file PATH is larger than
// 1 GiB".
XisfImage readXisfFile(const QString& path);

// A complete monolithic file: one Image with geometry, sampleFormat,
// colorSpace, pixelStorage Planar and its FITSKeyword children, the pixels
// attached little-endian at the next 4096-byte boundary after the header,
// zeros between. Throws std::invalid_argument "Cannot encode XISF image: " +
// the problem when the geometry would be refused on reading (see above) or
// the pixels are not exactly the size it needs.
QByteArray encodeXisf(const XisfImage& image);

// Writes encodeXisf(image) to path atomically (QSaveFile: a temporary beside
// it, renamed on commit), so a failed write leaves an earlier file intact.
// Throws std::runtime_error "Cannot write XISF file PATH: " + the problem for
// an image encodeXisf refuses, before touching the disk, and "Could not
// create XISF file PATH (REASON)" or "Could not write XISF file PATH
// (REASON)" when the system fails.
void writeXisfFile(const QString& path, const XisfImage& image);
