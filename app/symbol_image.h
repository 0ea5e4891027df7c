#pragma once

#include <QColor>
#include <QImage>
#include <QQuickPaintedItem>

#include <memory>

class QSvgRenderer;

// Draws one of the bundled SVG icons in one colour (every stroke and fill takes `color`), or as drawn
// when `color` is transparent. Painted rather than loaded as an image so the scene graph holds no
// texture of its own for it.
class QuarrySymbolImage : public QQuickPaintedItem {
    Q_OBJECT
    Q_PROPERTY(QString source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(bool isNull READ isNull NOTIFY sourceChanged)

public:
    explicit QuarrySymbolImage(QQuickItem* parent = nullptr);
    ~QuarrySymbolImage() override;

    // Registers the type for QML as QuarryDesktop.Graphics/SymbolImage; safe to call more than once.
    static void registerType();

    QString source() const { return m_source; }
    void setSource(const QString& source);
    QColor color() const { return m_color; }
    void setColor(const QColor& color);
    bool isNull() const;

    void paint(QPainter* painter) override;

Q_SIGNALS:
    void sourceChanged();
    void colorChanged();

private:
    QString m_source;
    QColor m_color = Qt::transparent;
    std::unique_ptr<QSvgRenderer> m_renderer;
    QImage m_cache;
};
