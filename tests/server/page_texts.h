#pragma once

#include "server/site/pages.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// The page texts as a browser receives them, written out line by line, with the compiled-in style sheet
// and script inserted where they belong.
namespace server_testing::page_texts {

inline QString head(const QString& escapedTitle) {
    return "<!doctype html>\n"
           "<html lang=\"en\" data-theme=\"dark\">\n"
           "<head>\n"
           "  <meta charset=\"utf-8\">\n"
           "  <meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "  <title>" +
           escapedTitle +
           "</title>\n"
           "  <style>" +
           QuarrySite::baseStyles() +
           "</style>\n"
           "</head>\n"
           "<body>\n";
}

// A page with one card in the middle, as the not-found, missing-item and unlock pages are.
inline QString cardPage(const QString& escapedTitle, const QString& cardClass, const QString& card) {
    return head(escapedTitle) + "  <div class=\"auth-shell\">\n    <div class=\"" + cardClass + "\">\n" +
           card + "    </div>\n  </div>\n</body>\n</html>";
}

inline QString notFound(const QString& escapedAppName) {
    return cardPage(escapedAppName, "auth-card",
                    "      <div class=\"eyebrow\">brightloom</div>\n"
                    "      <h1>Nothing here</h1>\n"
                    "      <p class=\"lede\">That shared folder link is missing, disabled, or no longer "
                    "valid.</p>\n");
}

inline QString misdirected(const QString& escapedName) {
    return cardPage("brightloom Share", "auth-card",
                    "      <div class=\"eyebrow\">brightloom</div>\n"
                    "      <h1>Wrong address</h1>\n"
                    "      <p class=\"lede\">This computer does not answer to the name " +
                        escapedName + ". Ask the person who shared the link for the address it shows.</p>\n");
}

inline QString missingItem(const QString& escapedName, const QString& escapedSlug) {
    return cardPage(escapedName, "auth-card",
                    "      <div class=\"eyebrow\">brightloom</div>\n"
                    "      <h1>That item moved</h1>\n"
                    "      <p class=\"lede\">The file or folder is no longer in this share.</p>\n"
                    "      <a class=\"primary-button\" href=\"/" +
                        escapedSlug + "/\">Back to " + escapedName + "</a>\n");
}

inline QString unlock(const QString& escapedName, const QString& escapedSlug, const QString& escapedRedirect,
                      bool failed) {
    const QString card =
        "      <div class=\"brand-block\" style=\"margin-bottom: 18px;\">\n"
        "        <div class=\"brand-mark\"><img src=\"/__asset/app-icon.png\" alt=\"brightloom "
        "icon\"></div>\n"
        "        <div class=\"brand-copy\">\n"
        "          <strong>brightloom</strong>\n"
        "          <span>Protected share</span>\n"
        "        </div>\n"
        "      </div>\n"
        "      <div class=\"eyebrow\">Password required</div>\n"
        "      <h1>%1</h1>\n"
        "      <p class=\"lede\">This read-only space is protected. Enter the password to browse files and "
        "download anything visible here.</p>\n"
        "      <form class=\"auth-form\" method=\"post\" action=\"/__unlock/%2\">\n"
        "        <input type=\"hidden\" name=\"redirect\" value=\"%3\">\n"
        "        <input class=\"text-input\" type=\"password\" name=\"password\" placeholder=\"Password\" "
        "autocomplete=\"current-password\" autofocus>\n"
        "        <button class=\"primary-button\" type=\"submit\">Unlock Space</button>\n"
        "      </form>\n"
        "      %4\n";
    const QString error = failed ? "<p class=\"error-line\">That password did not work. Try again.</p>" : "";
    return cardPage(escapedName, "auth-card password-card",
                    card.arg(escapedName, escapedSlug, escapedRedirect, error));
}

// The escaped bootstrap JSON between the data script's tags, or "" when the page has none.
inline QString embeddedData(const QString& page) {
    const QString open = "<script id=\"quarry-share-data\" type=\"application/json\">";
    const qsizetype start = page.indexOf(open);
    if (start < 0)
        return QString();
    const qsizetype from = start + open.size();
    return page.mid(from, page.indexOf("</script>", from) - from);
}

// The bootstrap data the page hands its script, as the script reads it.
inline QJsonObject bootstrap(const QString& page) {
    return QJsonDocument::fromJson(embeddedData(page).toUtf8()).object();
}

inline QString appPage(const QString& escapedTitle, const QString& escapedData) {
    return head(escapedTitle) + "  <div id=\"app\"></div>\n" +
           "  <script id=\"quarry-share-data\" type=\"application/json\">" + escapedData + "</script>\n" +
           "  <script>" + QuarrySite::appScript() + "</script>\n" + "</body>\n" + "</html>";
}

} // namespace server_testing::page_texts
