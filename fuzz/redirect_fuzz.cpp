// Where an unlock sends the visitor afterwards: always a path on this site, however the value was spelt,
// whether it came as a request target or through the unlock form.
#include "fuzz_support.h"

#include "server/site/access.h"
#include "server/site/router.h"

namespace {

const QString kFallback = QStringLiteral("/s/");

// How a browser reads a Location value before it looks for a host: C0 controls and spaces trimmed from
// both ends, tabs and line breaks dropped, a backslash taken as a slash. Local means it then starts with
// exactly one slash.
bool staysLocal(const QString& location) {
    QString seen = location;
    const auto trimmable = [](QChar c) { return c.unicode() <= 0x20; };
    while (!seen.isEmpty() && trimmable(seen.front()))
        seen.remove(0, 1);
    while (!seen.isEmpty() && trimmable(seen.back()))
        seen.chop(1);
    seen.remove(QLatin1Char('\t')).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    seen.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return seen.startsWith(QLatin1Char('/')) && !seen.startsWith(QStringLiteral("//"));
}

QString locationOf(const QByteArray& head) {
    for (const QByteArray& line : head.split('\n')) {
        if (line.startsWith("Location: "))
            return QString::fromUtf8(line.mid(10).chopped(line.endsWith('\r') ? 1 : 0));
    }
    return QString();
}

void checkSanitised(const QString& value, const QByteArray& input) {
    const QString target = QuarrySite::sanitizedRedirect(value, kFallback);
    FUZZ_CHECK(target == kFallback || target == value, input);
    FUZZ_CHECK(staysLocal(target), input);
    FUZZ_CHECK(!target.contains(QLatin1Char('\\')), input);
    for (const QChar c : target)
        FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7F, input);
}

void checkUnlock(const QByteArray& input) {
    static const QuarryShareServerSnapshot snapshot = [] {
        QuarryFolderShare share;
        share.urlSlug = QStringLiteral("s");
        share.path = QuarryFuzz::sandboxPath();
        share.isEnabled = true;
        QuarryShareServerSnapshot made;
        made.shares.append(share);
        return made;
    }();
    HTTPRequest request;
    request.method = QStringLiteral("POST");
    request.target = QStringLiteral("/__unlock/s");
    request.body = "password=&redirect=" + input;
    const HTTPResponse response = QuarrySite::handleUnlock(request, QStringLiteral("s"), snapshot);
    FUZZ_CHECK(response.statusCode == 303, input);
    const QByteArray head = response.serializedHead();
    // One head, its lines ended as HTTP ends them, and no line break smuggled into a value.
    FUZZ_CHECK(head.endsWith("\r\n\r\n") && head.indexOf("\r\n\r\n") == head.size() - 4, input);
    FUZZ_CHECK(head.count('\n') == head.count("\r\n"), input);
    const QString location = locationOf(head);
    FUZZ_CHECK(staysLocal(location), input + "\n-> " + location.toUtf8());
    // A browser may read the header's bytes one by one as Latin-1: still local.
    FUZZ_CHECK(staysLocal(QString::fromLatin1(location.toUtf8())), input);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuarryFuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkSanitised(QString::fromUtf8(input), input);
    checkSanitised(QString::fromLatin1(input), input);
    checkUnlock(input);
    return 0;
}
