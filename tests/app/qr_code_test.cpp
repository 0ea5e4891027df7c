// The QR codes a phone scans: the ones the main window shows beside each URL and the one the serve
// command prints in a terminal, each read back by a real decoder.
#include "app/qr_code.h"
#include "app_process.h"
#include "desktop_driver.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

using namespace app_testing;

namespace {

QImage codeOnScreen(QQuickWindow* window) {
    QQuickItem* code = item(window, "qrCodeImage");
    if (!code)
        return {};
    const QRectF area = code->mapRectToScene(QRectF(0, 0, code->width(), code->height()));
    const qreal ratio = window->effectiveDevicePixelRatio();
    return window->grabWindow().copy(QRectF(area.topLeft() * ratio, area.size() * ratio).toAlignedRect());
}

} // namespace

TEST(QRCodes, EveryURLOfTheSelectedShareOpensACodeThatScansInBothThemes) {
    const NoSessionBus noBus;
    QuarryShareAppState state = stateWith({makeShare({.slug = "docs", .name = "Docs"})});
    state.publicTunnel.isEnabled = true;
    state.publicTunnel.hostname = "docs-team.example.net";
    writeState(state);
    Desktop desktop;
    ASSERT_TRUE(desktop.waitForServer());
    const QStringList origins = desktop.store().server()->availableOrigins();
    ASSERT_GE(origins.size(), 2);
    QList<std::pair<QString, QString>> buttons = {
        {"headerQRButton", origins[0] + "docs/"},
        {"otherAddressQRButton_0", origins[1] + "docs/"},
        {"publicLinkQRButton", "https://docs-team.example.net/docs/"}};
    if (origins.size() > 2) // this machine's last network address (or its name)
        buttons.append(
            {QString("otherAddressQRButton_%1").arg(origins.size() - 2), origins.last() + "docs/"});

    QQuickWindow* window = desktop.main();
    for (const QString mode : {"dark", "light"}) {
        desktop.store().setAppearanceMode(mode);
        for (const auto& [button, url] : buttons) {
            SCOPED_TRACE((mode + " " + button).toStdString());
            click(item(window, button));
            ASSERT_TRUE(testing_support::waitUntil([&] { return find(window, "qrCodeImage") != nullptr; }));
            EXPECT_EQ(text(item(window, "qrCodeURL")), url) << "the URL is written under the code";
            const QImage code = codeOnScreen(window);
            // Big enough for a phone across a desk; dark modules inside a light quiet zone.
            EXPECT_GE(qMin(code.width(), code.height()), 280);
            EXPECT_EQ(code.pixelColor(3, 3), QColor(Qt::white));
            EXPECT_EQ(code.pixelColor(code.width() - 4, code.height() - 4), QColor(Qt::white));
            EXPECT_EQ(decodeQRCode(code), url);
            pressKey(window, Qt::Key_Escape);
            EXPECT_TRUE(testing_support::waitUntil([&] { return find(window, "qrCodeImage") == nullptr; }));
        }
    }
}

TEST(QRCodes, TheTerminalCodeScansWithAndWithoutColours) {
    const QString url = "http://192.168.1.20:48173/family-photos/";
    const auto code = QuarryQRCode::encode(url);
    ASSERT_TRUE(code);
    for (const bool colours : {false, true}) {
        QStringList lines = qrCodeTerminalText(*code, colours).split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), (code->size + 2 * kQRCodeQuietZone + 1) / 2);
        for (QString& line : lines) {
            if (!colours)
                continue;
            // Black on white set by every line itself, and reset at its end.
            ASSERT_TRUE(line.startsWith("\x1b[30;107m") && line.endsWith("\x1b[0m")) << line.toStdString();
            line = line.mid(9, line.size() - 13);
        }
        EXPECT_EQ(decodeQRCode(app_testing::halfBlockPicture(lines.join('\n'))), url)
            << "colours " << colours;
    }
    EXPECT_FALSE(QuarryQRCode::encode(QString(5000, 'x'))) << "longer than any QR code holds";
}
