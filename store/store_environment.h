#pragma once

#include "server/web_server.h"
#include "tunnel/tunnel_service.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// The desktop services the store needs from the windows; the windows provide them, tests replace them.
class QuarryFolderChooser {
public:
    virtual ~QuarryFolderChooser() = default;
    // Asks the user for one folder (folders only, new folders allowed, confirm text "Add Folder") and calls
    // `done` with its path, or with nothing when the user cancels.
    virtual void chooseFolder(std::function<void(std::optional<QString> path)> done) = 0;
};

class QuarryClipboard {
public:
    virtual ~QuarryClipboard() = default;
    // Replaces the clipboard's contents with plain text.
    virtual void setText(const QString& text) = 0;
};

// Where the store finds the world; every member has a working default.
struct QuarryShareStoreEnvironment {
    // Home folder searched for Syncthing's configuration; empty means the user's home.
    QString homePath;
    // The computer's user-visible name; unset means the system's.
    std::function<QString()> computerName;

    // Delays of the server's recovery (tests stretch them to observe what happens in between).
    struct ServerTimings {
        std::chrono::milliseconds retryAfterFailure{1000};
        std::chrono::milliseconds retryAfterStop{500};
        std::chrono::milliseconds failureAlertDelay{2000};
        std::chrono::milliseconds checkAfterWake{300};
    };
    ServerTimings timings;

    // The web server and the tunnel service the store drives and owns; unset, it makes its own. Whoever
    // hands one in may keep a pointer to it for as long as the store lives.
    std::unique_ptr<QuarryShareWebServer> webServer;
    std::unique_ptr<QuarryShareTunnelService> tunnelService;
};
