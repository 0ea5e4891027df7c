#include "app/qr_code_item.h"

#include <QPainter>
#include <QQmlEngine>
#include <QQuickWindow>

#include <cmath>

QuarryQRCodeItem::QuarryQRCodeItem(QQuickItem* parent)
    : QQuickPaintedItem(parent) {
    // Module edges must stay hard: no smoothing anywhere.
    setAntialiasing(false);
    setFillColor(Qt::white);
}

void QuarryQRCodeItem::registerType() {
    static const bool registered = [] {
        qmlRegisterType<QuarryQRCodeItem>("QuarryDesktop.Graphics", 1, 0, "QRCode");
        return true;
    }();
    Q_UNUSED(registered);
}

void QuarryQRCodeItem::setText(const QString& text) {
    if (text == m_text)
        return;
    m_text = text;
    m_code = text.isEmpty() ? std::nullopt : QuarryQRCode::encode(text);
    update();
    Q_EMIT textChanged();
}

void QuarryQRCodeItem::paint(QPainter* painter) {
    if (!m_code)
        return;
    const qreal ratio = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const int modules = m_code->size + 2 * kQRCodeQuietZone;
    const int pixels = int(std::min(width(), height()) * ratio);
    const int scale = pixels / modules;
    if (scale < 1)
        return;
    const QImage image = qrCodeImage(*m_code, scale);
    // Centred; the light fill around it only widens the quiet zone.
    const QSizeF shown = QSizeF(image.size()) / ratio;
    painter->drawImage(QRectF(QPointF(std::floor((width() - shown.width()) / 2),
                                      std::floor((height() - shown.height()) / 2)),
                              shown),
                       image);
}
