// A visitor's path, as the router decodes it, resolved inside a share: it never leads out of the share,
// neither by the lexical check nor by the open beneath its folder, with openat2 or without it.
#include "fuzz_support.h"

#include "core/path_resolution.h"
#include "server/files/beneath.h"
#include "server/files/containment.h"
#include "server/http/http_request.h"
#include "server/site/browse_api.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Share {
    QuarryFolderShare share;
    QString root;
    int rootDescriptor = -1;
};

void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        QuarryFuzz::fail("writing a fixture file", QFile::encodeName(path));
}

void link(const QString& target, const QString& at) {
    if (::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()) != 0)
        QuarryFuzz::fail("making a fixture link", QFile::encodeName(at));
}

// A share holding files, folders and links that stay inside, links that lead out (relative, absolute,
// to a sibling whose name begins with the share's), a loop, and a secret beside it.
Share& fixture() {
    static Share made = [] {
        const QString base = QuarryFuzz::sandboxPath() + QStringLiteral("/shares");
        const QString root = base + QStringLiteral("/share");
        QDir().mkpath(root + QStringLiteral("/sub/deeper"));
        QDir().mkpath(base + QStringLiteral("/share-evil"));
        QDir().mkpath(base + QStringLiteral("/outside"));
        write(root + QStringLiteral("/a.txt"), "a");
        write(root + QStringLiteral("/sub/b.txt"), "b");
        write(root + QStringLiteral("/sub/deeper/c d%2F.txt"), "c");
        write(base + QStringLiteral("/outside/secret.txt"), "secret");
        write(base + QStringLiteral("/share-evil/secret.txt"), "secret");
        link(QStringLiteral("sub"), root + QStringLiteral("/in"));
        link(QStringLiteral("../a.txt"), root + QStringLiteral("/sub/up"));
        link(root + QStringLiteral("/sub/b.txt"), root + QStringLiteral("/absolute-in"));
        link(QStringLiteral("../outside"), root + QStringLiteral("/out"));
        link(QStringLiteral("../../outside/secret.txt"), root + QStringLiteral("/sub/far"));
        link(base + QStringLiteral("/outside/secret.txt"), root + QStringLiteral("/absolute-out"));
        link(QStringLiteral("../share-evil"), root + QStringLiteral("/sibling"));
        link(QStringLiteral("loop"), root + QStringLiteral("/loop"));
        link(QStringLiteral("/"), root + QStringLiteral("/top"));

        Share share;
        share.root = QuarryShareUtilities::resolvedPath(root);
        share.share.path = root;
        share.share.urlSlug = QStringLiteral("s");
        share.share.isEnabled = true;
        share.rootDescriptor =
            ::open(QFile::encodeName(share.root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (share.rootDescriptor < 0)
            QuarryFuzz::fail("opening the share", QFile::encodeName(share.root));
        return share;
    }();
    return made;
}

bool inside(const QString& path, const QString& root) {
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

void checkRelative(const QString& relative, const QByteArray& input) {
    const Share& share = fixture();
    const std::optional<QString> location = QuarryContainment::resolvedURL(share.share, relative);
    if (location) {
        FUZZ_CHECK(inside(*location, share.root), input + "\n-> " + location->toUtf8());
        const std::optional<QString> rest = QuarryShareUtilities::relativePath(*location, share.root);
        FUZZ_CHECK(rest.has_value(), input);
        FUZZ_CHECK(!rest->startsWith(QLatin1Char('/')), input);
        FUZZ_CHECK(!rest->split(QLatin1Char('/')).contains(QStringLiteral("..")), input);
        // What exists there really is inside, whatever links the way passed through.
        const QString canonical = QFileInfo(*location).canonicalFilePath();
        FUZZ_CHECK(canonical.isEmpty() || inside(canonical, share.root),
                   input + "\n-> " + canonical.toUtf8());
    }

    const QByteArray native = QFile::encodeName(relative);
    if (native.contains('\0'))
        return;
    // Opened by the kernel, and by the walk that stands in where openat2 is missing.
    for (const bool openat2 : {true, false}) {
        QuarryBeneath::setOpenat2Allowed(openat2);
        const QuarryDescriptor opened =
            QuarryBeneath::openBeneath(share.rootDescriptor, QFile::encodeName(share.root), native, O_RDONLY);
        QuarryBeneath::setOpenat2Allowed(true);
        if (opened.isOpen()) {
            const QString really =
                QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + QString::number(opened.get()));
            FUZZ_CHECK(inside(really, share.root), input + "\n-> " + really.toUtf8());
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuarryFuzz::enterSandbox();
    fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = QString::fromUtf8(input);

    // The way the router takes a request's path apart: the share's slug, then the rest.
    HTTPRequest request;
    request.method = QStringLiteral("GET");
    request.target = QStringLiteral("/s/") + text;
    QStringList pieces = request.path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!pieces.isEmpty() && pieces.first() == QLatin1String("s")) {
        pieces.removeFirst();
        checkRelative(QuarrySite::decodeRelativePath(pieces), input);
    }
    // And the same text decoded once more and taken as a relative path directly, as other routes do.
    checkRelative(QuarryHTTP::percentDecoded(text), input);
    return 0;
}
