#include "app/update_controller.h"

#include <QFile>
#include <QJsonDocument>

namespace {

constexpr char kMetadataResource[] = ":/QuarryDesktop/application_info.json";

std::optional<QString> nonBlankText(const QJsonObject& metadata, const char* key) {
    const QJsonValue value = metadata.value(QLatin1String(key));
    if (!value.isString())
        return std::nullopt;
    const QString text = value.toString().trimmed();
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

} // namespace

BrightloomShareUpdateController::BrightloomShareUpdateController(const QJsonObject& metadata,
                                                                 UpdaterFactory factory, QObject* parent)
    : QObject(parent) {
    if (const auto settings = configuration(metadata); settings && factory)
        m_updater = factory(*settings);
}

BrightloomShareUpdateController::~BrightloomShareUpdateController() = default;

std::optional<BrightloomShareUpdateController::Configuration>
BrightloomShareUpdateController::configuration(const QJsonObject& metadata) {
    const auto feedURL = nonBlankText(metadata, "SUFeedURL");
    const auto publicEDKey = nonBlankText(metadata, "SUPublicEDKey");
    if (!feedURL || !publicEDKey)
        return std::nullopt;
    return Configuration{*feedURL, *publicEDKey};
}

QJsonObject BrightloomShareUpdateController::applicationMetadata() {
    QFile file(QString::fromLatin1(kMetadataResource));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

BrightloomShareUpdateController::UpdaterFactory BrightloomShareUpdateController::platformUpdaterFactory() {
    // No software-update service exists on Linux; distributions update the application.
    return [](const Configuration&) -> std::unique_ptr<QuarryUpdater> { return nullptr; };
}

bool BrightloomShareUpdateController::canCheckForUpdates() const {
    return m_updater && m_updater->canCheckForUpdates();
}

void BrightloomShareUpdateController::checkForUpdates() {
    if (!m_updater)
        return;
    m_updater->checkForUpdates();
    // A running check usually changes whether another one may start.
    Q_EMIT canCheckForUpdatesChanged();
}
