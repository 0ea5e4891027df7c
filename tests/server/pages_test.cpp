#include "page_texts.h"
#include "server/pages.h"
#include "server_fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace server_testing;
using namespace QuarryShareWeb;

TEST(Pages, EscapingRules) {
    EXPECT_EQ(escapeHTML("A & B <x> \"q\" 'single'"), "A &amp; B &lt;x&gt; &quot;q&quot; 'single'");
    EXPECT_EQ(escapeHTML("&lt;"), "&amp;lt;");

    // No spelling of a closing tag or comment opener survives in embedded JSON, and it still parses the same.
    const QString hostile = "</script><script>alert(1)</script></SCRIPT ><!--<script>";
    const QString json =
        QString::fromUtf8(QJsonDocument(QJsonObject{{"name", hostile}}).toJson(QJsonDocument::Compact));
    const QString escaped = escapeForScriptTag(json);
    EXPECT_FALSE(escaped.contains('<'));
    EXPECT_EQ(QJsonDocument::fromJson(escaped.toUtf8()).object().value("name").toString(), hostile);
}

TEST(Pages, AppPageCarriesBootstrapDataForTheClient) {
    QTemporaryDir folder;
    writeFile(folder.path() + "/docs/a.txt", "a");
    writeFile(folder.path() + "/docs/sub/b.txt", "b");
    QuarryShareServerSnapshot snapshot;
    snapshot.appName = "brightloom Share";
    snapshot.shares = {makeShare("beta", folder.path() + "/docs", true, std::nullopt, "beta"),
                       makeShare("hidden", folder.path() + "/docs", false, std::nullopt, "Aaa hidden"),
                       makeShare("alpha", folder.path() + "/docs", true, QString("pw"), "Alpha"),
                       makeShare("x", folder.path() + "/docs", true, std::nullopt, "A & B <x></script>")};
    RunningServer server(snapshot);

    const Reply root = get(server.port(), "/");
    const QString rootData = page_texts::embeddedData(root.text());
    EXPECT_EQ(root.text(), page_texts::appPage("brightloom Share", rootData));
    const QJsonObject expectedRoot =
        QJsonDocument::fromJson(R"({"appName":"brightloom Share","initialDirectory":"",
        "shares":[{"slug":"x","name":"A & B <x></script>","isPasswordProtected":false},
                  {"slug":"alpha","name":"Alpha","isPasswordProtected":true},
                  {"slug":"beta","name":"beta","isPasswordProtected":false}]})")
            .object();
    EXPECT_EQ(page_texts::bootstrap(root.text()), expectedRoot);

    const Reply file = get(server.port(), "/x/sub/b.txt");
    EXPECT_TRUE(file.text().startsWith(page_texts::head("A &amp; B &lt;x&gt;&lt;/script&gt;")));
    EXPECT_FALSE(page_texts::embeddedData(file.text()).contains("</"));
    const QJsonObject fileBootstrap = page_texts::bootstrap(file.text());
    EXPECT_EQ(fileBootstrap.value("currentShareSlug").toString(), "x");
    EXPECT_EQ(fileBootstrap.value("currentShareName").toString(), "A & B <x></script>");
    EXPECT_EQ(fileBootstrap.value("currentSharePath").toString(), folder.path() + "/docs");
    EXPECT_EQ(fileBootstrap.value("initialDirectory").toString(), "sub");
    EXPECT_EQ(fileBootstrap.value("selectedRelativePath").toString(), "sub/b.txt");

    const auto bootstrapAt = [&](const QString& target) {
        return page_texts::bootstrap(get(server.port(), target).text());
    };
    const QJsonObject topFile = bootstrapAt("/beta/a.txt");
    EXPECT_EQ(topFile.value("initialDirectory").toString(), "");
    EXPECT_EQ(topFile.value("selectedRelativePath").toString(), "a.txt");
    EXPECT_FALSE(bootstrapAt("/beta/").contains("selectedRelativePath"));
    EXPECT_EQ(bootstrapAt("/beta/sub/").value("initialDirectory").toString(), "sub");
    EXPECT_EQ(bootstrapAt("/beta/sub").value("selectedRelativePath").toString(), "sub");
}
