#include "app/server_process.h"

#include "core/descriptor_limit.h"

#include <QByteArray>

void prepareServerProcess() {
    QuarryDescriptorLimit::raiseToHardLimit();
    // Read when each thread makes its event dispatcher, so it stays set for the server's thread too.
    qputenv("QT_NO_GLIB", QByteArrayLiteral("1"));
}
