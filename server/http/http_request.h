#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>

// One parsed HTTP/1.1 request. Header names are lower-cased; the last occurrence of a name wins.
struct HTTPRequest {
    QString method;
    QString target;
    QMap<QString, QString> headers;
    QByteArray body;

    // A request when the bytes hold a complete, well-formed one; nothing otherwise (incomplete and
    // malformed look the same here: the connection decides by whether the peer has finished sending).
    static std::optional<HTTPRequest> parse(const QByteArray& bytes);
    // The method, target and headers of a head (the bytes before the blank line); nothing when malformed.
    static std::optional<HTTPRequest> parseHead(const QByteArray& head);

    // The announced body length of a head (the bytes before the blank line): 0 when absent or not a
    // number, negative when a negative number was sent, saturated at the largest value on overflow.
    static qint64 contentLength(const QMap<QString, QString>& headers);
    // Whether a head (the bytes before the blank line) says where its body ends in one way only: no
    // Transfer-Encoding, and every Content-Length plain decimal digits of the same value, short of 63
    // bits. A head that a proxy in front could read differently from us is refused, never guessed at.
    static bool hasSoundFraming(const QByteArray& head);

    // The target resolved against http://localhost; that base with path "/" when it cannot be read, is
    // not http or https, or its path does not begin with "/".
    QUrl url() const;
    // The percent-decoded path of url() (an encoded "/" stays "%2F"), without a trailing "/" unless root.
    QString path() const;
    // The value of a header by its lower-case name, "" when absent.
    QString header(const QString& lowerCaseName) const { return headers.value(lowerCaseName); }

    bool operator==(const HTTPRequest&) const = default;
};

namespace QuarryHTTP {

// The query items of the request's URL, percent-decoded ("+" stays "+"); a later item replaces an
// earlier one and an item without "=" removes any earlier value of its name.
QMap<QString, QString> queryParameters(const HTTPRequest& request);

// Percent-decodes text once; "%2F" and "%2f" stay encoded when keepEncodedSlash is true.
// Malformed escapes are kept as they stand; bytes that are not UTF-8 become U+FFFD.
QString percentDecoded(const QString& text, bool keepEncodedSlash = false);

// The value of one hexadecimal digit of a percent escape, either case; -1 for any other character.
int hexValue(char c);

// Trims the tab and every space-separator character (Unicode category Zs) from both ends.
QString trimmedBlanks(const QString& text);

} // namespace QuarryHTTP
