// `brightloom-share serve`: folders served at once from a terminal, without the stored state.
#include "app_process.h"

#include "sources/share_utilities.h"
#include "support/share_fixtures.h"
#include "support/test_support.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>

using namespace app_testing;
using namespace std::chrono_literals;
using testing_support::makeFolder;
using testing_support::writeFile;

namespace {

// The port of the loopback address the command printed for `slug`, or 0.
int printedPort(const QByteArray& output, const QString& slug) {
    const QRegularExpression line("^  http://127\\.0\\.0\\.1:(\\d+)/" + QRegularExpression::escape(slug) +
                                      "/$",
                                  QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(output)).captured(1).toInt();
}

} // namespace

TEST(Serve, TwoFoldersOneWithAPasswordEveryAddressPrintedAndACodeOfTheFirstNetworkAddress) {
    const QString docs = makeFolder("Docs"), vault = makeFolder("Vault");
    writeFile(docs + "/notes.txt", "hello");
    writeFile(vault + "/q1.txt", "secret numbers");
    AppProcess serve;
    ASSERT_TRUE(serve.start({"serve", "--port", "0", "--name", "Team Docs", docs, "--password", "open sesame",
                             "--slug", "money", vault}));
    ASSERT_TRUE(serve.waitForOutput("/money/\n")) << serve.output().data();
    testing_support::spin(300ms); // the rest of the banner
    const QByteArray output = serve.output();
    const int port = printedPort(output, "team-docs");
    ASSERT_GT(port, 0) << output.data();
    EXPECT_EQ(printedPort(output, "money"), port);
    for (const QString& origin : QuarryShareUtilities::localOrigins(port))
        EXPECT_TRUE(output.contains(("  " + origin + "team-docs/\n").toUtf8())) << origin.toStdString();

    EXPECT_TRUE(httpGet(port, "/__browse/team-docs?path=").contains("\"notes.txt\""));
    EXPECT_EQ(statusOf(httpGet(port, "/money/q1.txt?download=1")), 401);

    // It serves without the desktop's libraries in memory (about 10 MiB of them), in the same process.
    QFile maps(QString("/proc/%1/maps").arg(serve.pid()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    EXPECT_TRUE(mapped.contains("libQt6Network")) << "the maps of the serving process";
    for (const char* library : {"libQt6Quick", "libQt6Qml", "libQt6Widgets"})
        EXPECT_FALSE(mapped.contains(library)) << library;
    const QByteArray body = "password=open+sesame&redirect=%2Fmoney%2F";
    const QByteArray unlocked = httpExchange(port, "POST /__unlock/money HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                   "Content-Type: application/x-www-form-urlencoded\r\n"
                                                   "Content-Length: " +
                                                       QByteArray::number(body.size()) + "\r\n\r\n" + body);
    const QRegularExpressionMatch cookie =
        QRegularExpression("Set-Cookie: (blnshare_money=[0-9a-f]+)").match(QString::fromLatin1(unlocked));
    ASSERT_TRUE(cookie.hasMatch()) << unlocked.data();
    EXPECT_TRUE(httpGet(port, "/money/q1.txt?download=1", "Cookie: " + cookie.captured(1).toLatin1() + "\r\n")
                    .endsWith("\r\n\r\nsecret numbers"));

    // The code a phone scans opens the first folder under the first network address.
    const QStringList lan = QuarryShareUtilities::localIPv4Addresses();
    if (lan.isEmpty())
        EXPECT_TRUE(output.contains("No network address to show a QR code for.")) << output.data();
    else
        EXPECT_EQ(decodeQRCode(halfBlockPicture(QString::fromUtf8(output))),
                  QString("http://%1:%2/team-docs/").arg(lan.first()).arg(port));

    EXPECT_EQ(serve.stop(SIGINT), 0) << "Ctrl+C ends it";
    EXPECT_EQ(statusOf(httpGet(port, "/team-docs/")), 0);
    EXPECT_FALSE(QFile::exists(testing_support::statePath())) << "serve keeps no state";
}

// What the command line refuses or only reports, and how it ends.
TEST(CommandLine, HelpVersionAndRefusals) {
    const QString missing = testing_support::sandboxRoot() + "/not here";
    const std::tuple<QStringList, int, QByteArray> cases[] = {
        {{"--help"}, 0, "brightloom-share serve [--port N]"},
        {{"--version"}, 0, "brightloom Share " BRIGHTLOOM_VERSION},
        {{"--frobnicate"}, 2, "--frobnicate"},
        {{"serve", "--name", "Lonely"}, 2, "--name, --slug and --until apply to the folder after them"},
        {{"serve", "--port", "0", makeFolder("Docs"), missing},
         2,
         "brightloom-share serve: there is no folder at " + missing.toUtf8() + "\n"}};
    for (const auto& [arguments, status, says] : cases) {
        AppProcess app;
        ASSERT_TRUE(app.start(arguments));
        EXPECT_EQ(app.finish(), status) << arguments.join(' ').toStdString();
        EXPECT_TRUE(app.output().contains(says)) << app.output().data();
    }

    // A folder whose name would drive the terminal: its escape is shown, not obeyed, also when the
    // folder reaches its end.
    AppProcess plain;
    const QString end = QDateTime::currentDateTimeUtc().addSecs(2).toString(Qt::ISODate);
    ASSERT_TRUE(plain.start(
        {"serve", "--port", "0", "--no-qr", "--until", end, makeFolder("Notes\x1b]0;owned\x07")}));
    ASSERT_TRUE(plain.waitForOutput("/notes-0-owned/\n")) << plain.output().data();
    ASSERT_TRUE(plain.waitForOutput("Notes?]0;owned? reached its end and is no longer shared.\n"))
        << plain.output().data();
    plain.closeInput(); // the script that started it ended
    EXPECT_EQ(plain.finish(), 0);
    EXPECT_TRUE(plain.output().contains("\nNotes?]0;owned? (")) << plain.output().data();
    EXPECT_FALSE(plain.output().contains('\x1b'));
    EXPECT_FALSE(plain.output().contains("Scan to open")) << plain.output().data();
    EXPECT_FALSE(plain.output().contains(QString(QChar(0x2588)).toUtf8()));
}
