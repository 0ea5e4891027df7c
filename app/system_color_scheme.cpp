#include "app/system_color_scheme.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

QuarrySystemColorScheme::QuarrySystemColorScheme(QObject* parent)
    : QObject(parent) {
    if (QCoreApplication* application = QCoreApplication::instance())
        application->installEventFilter(this);
    update();
}

bool QuarrySystemColorScheme::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::ApplicationPaletteChange)
        update();
    return QObject::eventFilter(watched, event);
}

void QuarrySystemColorScheme::update() {
    // A dark theme paints windows in a dark colour; that is the one hint every platform theme gives.
    const bool dark = QGuiApplication::palette().color(QPalette::Active, QPalette::Window).lightness() < 128;
    if (dark == m_prefersDark)
        return;
    m_prefersDark = dark;
    Q_EMIT prefersDarkChanged();
}
