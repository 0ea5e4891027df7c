#pragma once

#include "app/qr_code.h"

#include <QQuickPaintedItem>

#include <optional>

// Draws the QR code of `text` as large as fits the item, each module a whole number of pixels (so the
// edges stay sharp for a camera), dark modules on a light square in either theme.
class QuarryQRCodeItem : public QQuickPaintedItem {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(bool isValid READ isValid NOTIFY textChanged)

public:
    explicit QuarryQRCodeItem(QQuickItem* parent = nullptr);

    // Registers the type for QML as QuarryDesktop.Graphics/QRCode; safe to call more than once.
    static void registerType();

    QString text() const { return m_text; }
    void setText(const QString& text);
    bool isValid() const { return m_code.has_value(); }

    void paint(QPainter* painter) override;

Q_SIGNALS:
    void textChanged();

private:
    QString m_text;
    std::optional<QuarryQRCode> m_code;
};
