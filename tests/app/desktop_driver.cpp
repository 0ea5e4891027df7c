#include "desktop_driver.h"

#include "support/test_support.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

using testing_support::waitUntil;

namespace app_testing {

static QStringList capturedWarnings;
static QtMessageHandler previousHandler = nullptr;

// A warning from our QML (a failed binding, a type error) is a fault of the windows.
static void captureQmlWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("qrc:/QuarryDesktop/")))
        capturedWarnings.append(message);
    if (previousHandler)
        previousHandler(type, context, message);
}

static bool activate(QQuickWindow* window) {
    if (!window->isVisible())
        window->show();
    window->requestActivate();
    return waitUntil([&] { return window->isExposed() && window->isActive(); });
}

QuarryFolderShare spaceShare(const QString& slug, const QString& name, bool enabled) {
    return makeShare({.slug = slug,
                      .name = name,
                      .enabled = enabled,
                      .source = QuarryShareSource::quarry,
                      .folderID = slug});
}

Desktop::Desktop(QuarryShareStoreEnvironment environment,
                 std::unique_ptr<BrightloomShareUpdateController> updates) {
    capturedWarnings.clear();
    previousHandler = qInstallMessageHandler(captureQmlWarnings);
    QuarryShareApp::useWindowStyle();
    if (!environment.tunnelService) {
        environment.tunnelService = std::make_unique<QuarryShareTunnelService>();
        environment.tunnelService->setCloudflaredCandidates(
            {testing_support::sandboxRoot() + "/bin/cloudflared"});
    }
    m_shell = std::make_unique<QuarryShareApp>(std::move(environment), std::move(updates));
    EXPECT_TRUE(m_shell->openWindows()) << "the windows did not load";
    EXPECT_TRUE(main() && activate(main())) << "the main window never appeared";
}

Desktop::~Desktop() {
    m_shell.reset();
    // Qt Quick tears its scene graph down in rounds of deleteLater, which processEvents() never runs.
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    qInstallMessageHandler(previousHandler);
    for (const QString& warning : capturedWarnings)
        ADD_FAILURE() << "QML warning: " << warning.toStdString();
}

void Desktop::openSettings() {
    click(item(main(), QStringLiteral("settingsButton")));
    EXPECT_TRUE(activate(settings()));
}

bool Desktop::waitForServer() {
    return waitUntil([&] { return store().server()->isServerRunning(); });
}

static QQuickItem* search(QQuickItem* root, const std::function<bool(QQuickItem*)>& matches) {
    if (!root || !root->isVisible())
        return nullptr;
    if (matches(root))
        return root;
    for (QQuickItem* child : root->childItems()) {
        if (QQuickItem* found = search(child, matches))
            return found;
    }
    return nullptr;
}

QQuickItem* find(QObject* scope, const QString& name) {
    auto* window = qobject_cast<QQuickWindow*>(scope);
    return search(
        window ? window->contentItem() : qobject_cast<QQuickItem*>(scope), [&](QQuickItem* candidate) {
            // An open popup (dialog, menu) is drawn by its item; the name is the popup's own.
            const bool popup = candidate->inherits("QQuickPopupItem") && candidate->parent();
            return candidate->objectName() == name || (popup && candidate->parent()->objectName() == name);
        });
}

QQuickItem* item(QObject* scope, const QString& name) {
    QQuickItem* found = find(scope, name);
    if (!found)
        ADD_FAILURE() << "nothing named " << name.toStdString() << " is on screen";
    return found;
}

QString text(QQuickItem* item, const char* property) {
    return item ? item->property(property).toString() : QStringLiteral("<missing>");
}

bool isEnabled(QQuickItem* item) {
    return item && item->isEnabled();
}

// Scrolls every flickable around the item so that its middle is in view.
void reveal(QQuickItem* item) {
    for (QQuickItem* parent = item->parentItem(); parent; parent = parent->parentItem()) {
        const qreal middle = item->mapToItem(parent, QPointF(0, item->height() / 2)).y();
        if (!parent->inherits("QQuickFlickable") || (middle >= 0 && middle <= parent->height()))
            continue;
        const qreal target = parent->property("contentY").toReal() + middle - parent->height() / 2;
        const qreal end = parent->property("contentHeight").toReal() - parent->height();
        parent->setProperty("contentY", qBound(0.0, target, qMax(0.0, end)));
    }
    QCoreApplication::processEvents();
}

void click(QQuickItem* item, Qt::MouseButton button) {
    ASSERT_TRUE(item) << "nothing to click";
    EXPECT_TRUE(activate(item->window()));
    reveal(item);
    // Let layouts and opening popups settle, so the press lands where the item is drawn.
    testing_support::spin(std::chrono::milliseconds(60));
    QQuickWindow* window = item->window();
    const QPointF scene = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    const QPointF global = window->mapToGlobal(scene);
    QMouseEvent press(QEvent::MouseButtonPress, scene, scene, global, button, button, Qt::NoModifier);
    QGuiApplication::sendEvent(window, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, scene, scene, global, button, Qt::NoButton,
                        Qt::NoModifier);
    QGuiApplication::sendEvent(window, &release);
    QCoreApplication::processEvents();
}

void pressKey(QQuickWindow* window, int key, Qt::KeyboardModifiers modifiers, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QGuiApplication::sendEvent(window, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QGuiApplication::sendEvent(window, &release);
}

void typeInto(QQuickItem* field, const QString& text) {
    ASSERT_TRUE(field) << "nothing to type into";
    EXPECT_TRUE(activate(field->window()));
    reveal(field);
    field->forceActiveFocus();
    ASSERT_TRUE(field->hasActiveFocus()) << field->objectName().toStdString() << " takes no focus";
    pressKey(field->window(), Qt::Key_A, Qt::ControlModifier);
    pressKey(field->window(), Qt::Key_Backspace, Qt::NoModifier);
    for (const QChar character : text) {
        const int key = character.unicode() < 0x80 ? character.toUpper().unicode() : int(Qt::Key_unknown);
        pressKey(field->window(), key, Qt::NoModifier, QString(character));
    }
    QCoreApplication::processEvents();
}

QQuickItem* menuBarItem(QQuickWindow* window, const QString& menuTitle, const QString& itemName) {
    click(search(window->contentItem(), [&](QQuickItem* candidate) {
        return candidate->inherits("QQuickMenuBarItem") &&
               candidate->property("text").toString() == menuTitle;
    }));
    waitUntil([&] { return find(window, itemName) != nullptr; }, std::chrono::seconds(5));
    return item(window, itemName);
}

StateWrites::StateWrites()
    : m_descriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    const QByteArray folder = QFile::encodeName(QFileInfo(statePath()).absolutePath());
    EXPECT_GE(inotify_add_watch(m_descriptor, folder.constData(), IN_MOVED_TO), 0);
}

StateWrites::~StateWrites() {
    ::close(m_descriptor);
}

int StateWrites::count() {
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = ::read(m_descriptor, events, sizeof events)) > 0;) {
        for (const char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            m_count += event->len > 0 && qstrcmp(event->name, "state.json") == 0;
            at += sizeof(inotify_event) + event->len;
        }
    }
    return m_count;
}

} // namespace app_testing
