#include "app/quarry_share_app.h"

#include "app/desktop_notifier.h"
#include "app/qr_code_item.h"
#include "app/symbol_image.h"

#include <QDateTime>
#include <QDir>
#include <QGuiApplication>
#include <QLocale>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>

namespace {

constexpr char kMainQML[] = "qrc:/QuarryDesktop/Main.qml";

QString menuIcon(AppearanceMode mode) {
    switch (mode) {
    case AppearanceMode::dark:
        return QStringLiteral("moon");
    case AppearanceMode::light:
        return QStringLiteral("sun.max");
    case AppearanceMode::system:
        return QStringLiteral("circle.lefthalf.filled");
    }
    return {};
}

} // namespace

QuarryShareApp::QuarryShareApp(QuarryShareStoreEnvironment environment,
                               std::unique_ptr<BrightloomShareUpdateController> updateController,
                               QObject* parent)
    : QObject(parent)
    , m_autostart(QCoreApplication::applicationFilePath())
    , m_store(std::make_unique<QuarryShareStore>(std::move(environment)))
    , m_updateController(updateController ? std::move(updateController)
                                          : std::make_unique<BrightloomShareUpdateController>()) {
    m_store->setFolderChooser(&m_folderChooser);
    m_store->setClipboard(&m_clipboard);
    connect(&m_autostart, &QuarryAutostart::failed, m_store.get(),
            [store = m_store.get()](const QString& message) { store->setErrorMessage(message); });
    connect(m_store.get(), &QuarryShareStore::shareEnded, this, [](const QString& name) {
        QuarryDesktopNotifier::notify(
            QStringLiteral("%1 is no longer shared").arg(name),
            QStringLiteral(
                "Its time ran out, so it was switched off. Switch it on again to share it once more."));
    });
    connect(m_store->activity(), &QuarryActivityLog::downloadedWhole, this,
            [this](const QuarryActivityEvent& event) { announceDownload(event); });
    // Closing the main window decides for itself whether the application ends (see eventFilter).
    QGuiApplication::setQuitOnLastWindowClosed(false);
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(application, &QGuiApplication::applicationStateChanged, m_store.get(),
                [store = m_store.get()](Qt::ApplicationState state) {
                    if (state == Qt::ApplicationActive)
                        store->handleApplicationActivated();
                });
    }
}

QuarryShareApp::~QuarryShareApp() {
    // The tray and the windows go first: they read the store until the very end.
    m_tray.reset();
    m_engine.reset();
    m_store->setFolderChooser(nullptr);
    m_store->setClipboard(nullptr);
}

void QuarryShareApp::useWindowStyle() {
    // The style is fixed once the first window has loaded; later calls have nothing to do.
    static const bool chosen = [] {
        QQuickStyle::setStyle(QStringLiteral("Basic"));
        return true;
    }();
    Q_UNUSED(chosen);
}

bool QuarryShareApp::openWindows(bool hidden) {
    if (m_engine)
        return m_mainWindow != nullptr;
    QuarrySymbolImage::registerType();
    QuarryQRCodeItem::registerType();
    m_engine = std::make_unique<QQmlApplicationEngine>();
    m_engine->setInitialProperties({
        {QStringLiteral("shell"), QVariant::fromValue(static_cast<QObject*>(this))},
        {QStringLiteral("store"), QVariant::fromValue(static_cast<QObject*>(m_store.get()))},
        {QStringLiteral("updateController"),
         QVariant::fromValue(static_cast<QObject*>(m_updateController.get()))},
        {QStringLiteral("folderChooser"), QVariant::fromValue(static_cast<QObject*>(&m_folderChooser))},
        {QStringLiteral("systemColorScheme"),
         QVariant::fromValue(static_cast<QObject*>(&m_systemColorScheme))},
    });
    m_engine->load(QUrl(QString::fromLatin1(kMainQML)));
    const QList<QObject*> roots = m_engine->rootObjects();
    if (roots.isEmpty())
        return false;
    m_mainWindow = qvariant_cast<QQuickWindow*>(roots.first()->property("mainWindow"));
    m_settingsWindow = qvariant_cast<QQuickWindow*>(roots.first()->property("settingsWindow"));
    if (!m_mainWindow || !m_settingsWindow)
        return false;
    m_mainWindow->installEventFilter(this);

    m_tray = std::make_unique<QuarryTray>(*m_store);
    connect(m_tray.get(), &QuarryTray::openRequested, this, &QuarryShareApp::activateMainWindow);
    connect(m_tray.get(), &QuarryTray::activityRequested, this, [this] {
        activateMainWindow();
        if (m_mainWindow)
            QMetaObject::invokeMethod(m_mainWindow, "showActivity");
    });
    connect(m_tray.get(), &QuarryTray::quitRequested, this, &QuarryShareApp::quit);
    m_tray->showIfPossible();

    startWhenMainWindowAppears();
    // Hidden only where the tray can bring the window back.
    if (hidden && QuarryTray::isAvailable())
        startStore();
    else
        m_mainWindow->show();
    return true;
}

void QuarryShareApp::startWhenMainWindowAppears() {
    connect(m_mainWindow, &QWindow::visibleChanged, this, [this](bool visible) {
        if (visible)
            startStore();
    });
}

void QuarryShareApp::startStore() {
    if (m_started)
        return;
    m_started = true;
    // Tied to the window: should it go away before the event loop gets here, nothing starts.
    QTimer::singleShot(0, m_mainWindow, [this] { m_store->start(); });
}

bool QuarryShareApp::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_mainWindow && event->type() == QEvent::Close) {
        // Whether a tray is there is asked now: a tray host may have come or gone since the start.
        if (QuarryTray::isAvailable())
            keepServingInBackground();
        else
            QTimer::singleShot(0, this, &QuarryShareApp::quit);
    }
    return QObject::eventFilter(watched, event);
}

void QuarryShareApp::keepServingInBackground() {
    m_tray->showIfPossible();
    if (std::exchange(m_toldAboutBackground, true))
        return;
    QuarryDesktopNotifier::notify(
        QStringLiteral("brightloom Share keeps sharing"),
        QStringLiteral("Your shares stay online while the window is closed. Open brightloom Share from its "
                       "icon in the system tray, or choose Quit there to stop sharing."));
}

void QuarryShareApp::announceDownload(const QuarryActivityEvent& event) {
    constexpr qint64 kLargeFile = 100LL * 1000 * 1000;
    const bool archive = event.kind == QLatin1String("archive") || event.kind == QLatin1String("picks");
    const qint64 size = event.wholeLength > 0 ? event.wholeLength : event.bytesSent;
    if (!m_store->notifiesDownloads() || event.via != QLatin1String("public") ||
        !(archive || size > kLargeFile))
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (m_lastDownloadNotice && now - *m_lastDownloadNotice < 60 * 1000)
        return;
    m_lastDownloadNotice = now;
    QString name = event.path.section(QLatin1Char('/'), -1);
    if (name.isEmpty()) {
        for (const QuarryFolderShare& share : m_store->appState().shares) {
            if (share.id == event.shareID)
                name = share.displayName();
        }
    }
    if (archive)
        name += QStringLiteral(".zip");
    QuarryDesktopNotifier::notify(
        QStringLiteral("%1, %2, downloaded through the public link")
            .arg(name, QLocale().formattedDataSize(size, 1, QLocale::DataSizeSIFormat)),
        QStringLiteral("A visitor of the public link received the whole download."));
}

void QuarryShareApp::quit() {
    Q_EMIT quitRequested();
    QCoreApplication::quit();
}

QString QuarryShareApp::handleLaterStart(const QStringList& arguments) {
    // A start at login (or one without windows) while already running changes nothing on screen.
    if (!arguments.contains(QStringLiteral("--hidden")) && !arguments.contains(QStringLiteral("--headless")))
        activateMainWindow();
    return QStringLiteral("desktop");
}

QString QuarryShareApp::version() const {
    return QStringLiteral(BRIGHTLOOM_VERSION);
}

QVariantList QuarryShareApp::appearanceModes() const {
    QVariantList modes;
    for (AppearanceMode mode : allAppearanceModes()) {
        modes.append(QVariantMap{{QStringLiteral("mode"), rawValue(mode)},
                                 {QStringLiteral("title"), title(mode)},
                                 {QStringLiteral("icon"), menuIcon(mode)}});
    }
    return modes;
}

QUrl QuarryShareApp::homeFolder() const {
    return QUrl::fromLocalFile(QDir::homePath());
}

void QuarryShareApp::activateMainWindow() {
    if (!m_mainWindow)
        return;
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->requestActivate();
}
