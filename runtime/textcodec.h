// Reading and writing the text of settings and log files.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace rt {

// Decodes file bytes: UTF-8 when the bytes are UTF-8 (allowing the forms
// encodeFileText uses for lone surrogates and line-break characters),
// otherwise Windows-1252, the code page earlier versions wrote.
QString decodeFileText(const QByteArray& bytes);

// Splits file bytes into lines at LF (a CR before it is dropped) and decodes
// them as decodeFileText decides for the whole file. Characters written in
// their two-byte form come back inside their line, never as line breaks.
QStringList decodeFileLines(const QByteArray& bytes);

// Encodes text as UTF-8 such that every 16-bit string reads back exactly
// with decodeFileText: a lone surrogate is written as its own three-byte
// sequence, and NUL, CR and LF inside a value as two-byte sequences, so no
// scrambled password can break a line or be lost.
QByteArray encodeFileText(const QString& text);

// Windows-1252 decoding of one byte.
QChar cp1252ToUnicode(unsigned char byte);

} // namespace rt
