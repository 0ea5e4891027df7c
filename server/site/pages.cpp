#include "server/site/pages.h"

#include "core/text_order.h"

#include "server/files/containment.h"
#include "server/http/html_text.h"
#include "server/site/browse_api.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <initializer_list>

namespace {

QString resourceText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QString resourceTexts(std::initializer_list<const char*> names) {
    QString text;
    for (const char* name : names)
        text += resourceText(QStringLiteral(":/web/") + QLatin1String(name)) + QLatin1Char('\n');
    return text;
}

std::optional<QByteArray> readWhole(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

QString joinedLines(const QStringList& lines) {
    return lines.join(QLatin1Char('\n'));
}

QString noticePage(const QString& title, const QStringList& cardLines) {
    QStringList lines{QStringLiteral("  <div class=\"auth-shell\">"),
                      QStringLiteral("    <div class=\"auth-card\">"),
                      QStringLiteral("      <div class=\"eyebrow\">brightloom</div>")};
    lines += cardLines;
    lines << QStringLiteral("    </div>") << QStringLiteral("  </div>") << QStringLiteral("</body>")
          << QStringLiteral("</html>");
    return QuarrySite::pageHead(title) + QLatin1Char('\n') + joinedLines(lines);
}

} // namespace

namespace QuarrySite {

namespace {

// The fixed text of every page around its title; the style sheet is copied in once, not per request.
const QString& headBeforeTitle() {
    static const QString text = QStringLiteral("<!doctype html>\n"
                                               "<html lang=\"en\" data-theme=\"dark\">\n"
                                               "<head>\n"
                                               "  <meta charset=\"utf-8\">\n"
                                               "  <meta name=\"viewport\" content=\"width=device-width, "
                                               "initial-scale=1\">\n"
                                               "  <title>");
    return text;
}

const QString& headAfterTitle() {
    static const QString text =
        QStringLiteral("</title>\n  <style>") + baseStyles() + QStringLiteral("</style>\n</head>\n<body>");
    return text;
}

// Appends pieces to one string sized for all of them: pages are tens of kilobytes.
QString concatenated(std::initializer_list<QStringView> pieces) {
    qsizetype size = 0;
    for (const QStringView piece : pieces)
        size += piece.size();
    QString text;
    text.reserve(size);
    for (const QStringView piece : pieces)
        text.append(piece);
    return text;
}

} // namespace

QString pageHead(const QString& title) {
    return concatenated({headBeforeTitle(), QuarryHTTP::escapeHTML(title), headAfterTitle()});
}

QString bootstrapJSON(const QuarryShareServerSnapshot& snapshot,
                      const std::optional<QuarryFolderShare>& currentShare, const QString& initialDirectory,
                      const std::optional<QString>& selectedRelativePath, bool viaPublicLink) {
    QList<QuarryFolderShare> enabled;
    for (const QuarryFolderShare& share : snapshot.shares) {
        if (share.isEnabled)
            enabled.append(share);
    }
    sortByDisplayName(enabled);
    QJsonArray shares;
    // An end is sent only when there is one, so the pages of shares without one stay as they were.
    const auto endText = [](const QuarryFolderShare& share) {
        return share.availableUntil->toUTC().toString(Qt::ISODate);
    };
    for (const QuarryFolderShare& share : enabled) {
        QJsonObject summary{{QStringLiteral("slug"), share.urlSlug},
                            {QStringLiteral("name"), share.displayName()},
                            {QStringLiteral("isPasswordProtected"), share.isPasswordProtected()}};
        if (share.availableUntil)
            summary.insert(QStringLiteral("availableUntil"), endText(share));
        shares.append(summary);
    }
    QJsonObject payload{{QStringLiteral("appName"), snapshot.appName},
                        {QStringLiteral("shares"), shares},
                        {QStringLiteral("initialDirectory"), initialDirectory}};
    if (currentShare) {
        payload.insert(QStringLiteral("currentShareSlug"), currentShare->urlSlug);
        payload.insert(QStringLiteral("currentShareName"), currentShare->displayName());
        payload.insert(QStringLiteral("currentSharePath"),
                       viaPublicLink ? displayPath(*currentShare, QString()) : currentShare->path);
        if (currentShare->availableUntil)
            payload.insert(QStringLiteral("currentShareAvailableUntil"), endText(*currentShare));
    }
    if (selectedRelativePath)
        payload.insert(QStringLiteral("selectedRelativePath"), *selectedRelativePath);
    return QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact));
}

QString renderAppPage(const QuarryShareServerSnapshot& snapshot,
                      const std::optional<QuarryFolderShare>& currentShare, const QString& initialDirectory,
                      const std::optional<QString>& selectedRelativePath, bool viaPublicLink) {
    const QString data = QuarryHTTP::escapeForScriptTag(
        bootstrapJSON(snapshot, currentShare, initialDirectory, selectedRelativePath, viaPublicLink));
    const QString title = currentShare ? currentShare->displayName() : snapshot.appName;
    static const QString dataOpen = QStringLiteral(
        "\n  <div id=\"app\"></div>\n  <script id=\"quarry-share-data\" type=\"application/json\">");
    static const QString tail =
        QStringLiteral("</script>\n  <script>") + appScript() + QStringLiteral("</script>\n</body>\n</html>");
    return concatenated(
        {headBeforeTitle(), QuarryHTTP::escapeHTML(title), headAfterTitle(), dataOpen, data, tail});
}

QString renderNotFoundPage(const QuarryShareServerSnapshot& snapshot) {
    return noticePage(
        snapshot.appName,
        {QStringLiteral("      <h1>Nothing here</h1>"),
         QStringLiteral("      <p class=\"lede\">That shared folder link is missing, disabled, or no "
                        "longer valid.</p>")});
}

QString renderMisdirectedPage(const QuarryShareServerSnapshot& snapshot, const QString& hostName) {
    return noticePage(
        snapshot.appName,
        {QStringLiteral("      <h1>Wrong address</h1>"),
         QStringLiteral("      <p class=\"lede\">This computer does not answer to the name ") +
             QuarryHTTP::escapeHTML(hostName) +
             QStringLiteral(". Ask the person who shared the link for the address it shows.</p>")});
}

QString renderMissingItemPage(const QuarryShareServerSnapshot&, const QuarryFolderShare& share) {
    return noticePage(
        share.displayName(),
        {QStringLiteral("      <h1>That item moved</h1>"),
         QStringLiteral("      <p class=\"lede\">The file or folder is no longer in this share.</p>"),
         QStringLiteral("      <a class=\"primary-button\" href=\"/") +
             QuarryHTTP::escapeHTML(share.urlSlug) + QStringLiteral("/\">Back to ") +
             QuarryHTTP::escapeHTML(share.displayName()) + QStringLiteral("</a>")});
}

QString renderUnlockPage(const QuarryFolderShare& share, const QString& redirect, bool failed) {
    const QString name = QuarryHTTP::escapeHTML(share.displayName());
    const QStringList lines{
        QStringLiteral("  <div class=\"auth-shell\">"),
        QStringLiteral("    <div class=\"auth-card password-card\">"),
        QStringLiteral("      <div class=\"brand-block\" style=\"margin-bottom: 18px;\">"),
        QStringLiteral(
            "        <div class=\"brand-mark\"><img src=\"/__asset/app-icon.png\" alt=\"brightloom "
            "icon\"></div>"),
        QStringLiteral("        <div class=\"brand-copy\">"),
        QStringLiteral("          <strong>brightloom</strong>"),
        QStringLiteral("          <span>Protected share</span>"),
        QStringLiteral("        </div>"),
        QStringLiteral("      </div>"),
        QStringLiteral("      <div class=\"eyebrow\">Password required</div>"),
        QStringLiteral("      <h1>") + name + QStringLiteral("</h1>"),
        QStringLiteral(
            "      <p class=\"lede\">This read-only space is protected. Enter the password to browse "
            "files and download anything visible here.</p>"),
        QStringLiteral("      <form class=\"auth-form\" method=\"post\" action=\"/__unlock/") +
            QuarryHTTP::escapeHTML(share.urlSlug) + QStringLiteral("\">"),
        QStringLiteral("        <input type=\"hidden\" name=\"redirect\" value=\"") +
            QuarryHTTP::escapeHTML(redirect) + QStringLiteral("\">"),
        QStringLiteral("        <input class=\"text-input\" type=\"password\" name=\"password\" "
                       "placeholder=\"Password\" autocomplete=\"current-password\" autofocus>"),
        QStringLiteral("        <button class=\"primary-button\" type=\"submit\">Unlock Space</button>"),
        QStringLiteral("      </form>"),
        QStringLiteral("      ") +
            (failed ? QStringLiteral("<p class=\"error-line\">That password did not work. Try again.</p>")
                    : QString()),
        QStringLiteral("    </div>"),
        QStringLiteral("  </div>"),
        QStringLiteral("</body>"),
        QStringLiteral("</html>"),
    };
    return pageHead(share.displayName()) + QLatin1Char('\n') + joinedLines(lines);
}

std::optional<Presentation> resolvePresentation(const QuarryFolderShare& share, const QString& relativePath) {
    QString trimmed = relativePath;
    while (trimmed.startsWith(QLatin1Char('/')))
        trimmed.remove(0, 1);
    while (trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const std::optional<QString> location = QuarryContainment::resolvedURL(share, trimmed);
    if (!location)
        return std::nullopt;
    const QFileInfo info(*location);
    if (!info.exists())
        return std::nullopt;
    if (info.isDir())
        return Presentation{trimmed, trimmed.isEmpty() ? std::nullopt : std::optional<QString>(trimmed)};
    const qsizetype slash = trimmed.lastIndexOf(QLatin1Char('/'));
    return Presentation{slash < 0 ? QString() : trimmed.left(slash), trimmed};
}

// The client and its style sheet are kept as a few files, one concern each, and served as one text
// in the order listed here.
QString baseStyles() {
    static const QString styles =
        resourceTexts({"app.css", "columns.css", "search.css", "details.css", "previews.css", "gallery.css",
                       "picking.css", "viewer.css", "player.css", "phone.css"});
    return styles;
}

// The script's files run in one private scope, so they share their functions without leaving
// globals in the page; app.js, last, starts the client.
QString appScript() {
    static const QString script =
        QStringLiteral("(function () {\n'use strict';\n") +
        resourceTexts({"base.js", "state.js", "shell.js", "column_view.js", "column_browser.js",
                       "keyboard.js", "search.js", "details.js", "previews.js", "player.js", "phone.js",
                       "gallery.js", "picking.js", "viewer.js", "app.js"}) +
        QStringLiteral("})();\n");
    return script;
}

std::optional<QByteArray> appIconData() {
    for (const QString& candidate :
         {QStringLiteral(":/web/BrightloomWebIcon.png"), QStringLiteral(":/web/QuarryWebIcon.png"),
          QDir::current().filePath(QStringLiteral("Resources/AppIcon.iconset/icon_32x32@2x.png"))}) {
        if (std::optional<QByteArray> bytes = readWhole(candidate))
            return bytes;
    }
    return std::nullopt;
}

} // namespace QuarrySite
