#pragma once

#include "store/quarry_share_store.h"
#include "support/share_fixtures.h"
#include "support/store_doubles.h"
#include "support/test_support.h"

#include <QDir>

#include <gtest/gtest.h>

namespace store_testing {

using namespace testing_support;

inline QString home() {
    return QDir::homePath();
}

// A folder picked by hand, switched off unless asked otherwise.
inline QuarryFolderShare customShare(const QString& name, const QString& slug, bool enabled = false) {
    return makeShare({.slug = slug, .name = name, .enabled = enabled});
}

// A space imported from Syncthing at an earlier launch, as state.json keeps it.
inline QuarryFolderShare spaceShare(const QString& name, const QString& slug,
                                    std::optional<QString> folderID = std::nullopt) {
    return makeShare({.slug = slug,
                      .name = name,
                      .enabled = false,
                      .source = QuarryShareSource::quarry,
                      .folderID = std::move(folderID)});
}

inline bool waitForRunning(QuarryShareStore& store) {
    return testing_support::waitUntil([&] { return store.server()->isServerRunning(); });
}

} // namespace store_testing
