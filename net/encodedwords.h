// Reading header values as a mail reader sees them: folds removed, RFC 2047
// encoded words decoded in any charset Qt knows, and the bytes outside them
// read as UTF-8 when they are UTF-8, otherwise as Windows-1252, so nothing
// is dropped silently.
#pragma once

#include <QByteArray>
#include <QString>

namespace net {

// Removes the line breaks of a folded value. A break followed by white space
// is a fold and leaves that white space; any other break (not allowed inside
// a value, but seen) becomes one space so the words around it stay apart.
QByteArray unfoldHeaderValue(const QByteArray& raw);

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(const QByteArray& bytes);

// Bytes outside encoded words: UTF-8 when utf8, else Windows-1252. The
// caller decides once per value whether the value is UTF-8, so one stray
// byte does not mix two readings.
QString decodeUnencoded(const QByteArray& bytes, bool utf8);

// Decodes an unfolded value: encoded words in their charset, the rest as
// decodeUnencoded() reads it. Encoded words with only white space between
// them are joined without it, and decoded together when their charset is
// the same (senders split a multi-byte character across two words).
QString decodeEncodedWords(const QByteArray& unfolded);

// An unstructured header value: unfolded, then decodeEncodedWords(), trimmed.
QString decodeHeaderText(const QByteArray& rawValue);

} // namespace net
