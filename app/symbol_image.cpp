#include "app/symbol_image.h"

#include <QPainter>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSvgRenderer>

namespace {

void drawInto(QImage& image, QSvgRenderer& renderer, const QColor& color) {
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(image.size())));
    if (color.alpha() > 0) {
        // Keep each pixel's coverage, take the one colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
}

} // namespace

QuarrySymbolImage::QuarrySymbolImage(QQuickItem* parent)
    : QQuickPaintedItem(parent) {
    setAntialiasing(true);
    connect(this, &QQuickItem::widthChanged, this, [this] { m_cache = QImage(); });
    connect(this, &QQuickItem::heightChanged, this, [this] { m_cache = QImage(); });
}

QuarrySymbolImage::~QuarrySymbolImage() = default;

void QuarrySymbolImage::registerType() {
    static const bool registered = [] {
        qmlRegisterType<QuarrySymbolImage>("QuarryDesktop.Graphics", 1, 0, "SymbolImage");
        return true;
    }();
    Q_UNUSED(registered);
}

void QuarrySymbolImage::setSource(const QString& source) {
    if (source == m_source)
        return;
    m_source = source;
    m_renderer.reset();
    if (!source.isEmpty()) {
        m_renderer = std::make_unique<QSvgRenderer>(source);
        if (!m_renderer->isValid())
            m_renderer.reset();
    }
    m_cache = QImage();
    update();
    Q_EMIT sourceChanged();
}

void QuarrySymbolImage::setColor(const QColor& color) {
    if (color == m_color)
        return;
    m_color = color;
    m_cache = QImage();
    update();
    Q_EMIT colorChanged();
}

bool QuarrySymbolImage::isNull() const {
    return !m_renderer;
}

void QuarrySymbolImage::paint(QPainter* painter) {
    if (!m_renderer || width() <= 0 || height() <= 0)
        return;
    const qreal ratio = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QSize pixels = (QSizeF(width(), height()) * ratio).toSize();
    if (m_cache.size() != pixels) {
        m_cache = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        drawInto(m_cache, *m_renderer, m_color);
    }
    painter->drawImage(QRectF(0, 0, width(), height()), m_cache);
}
