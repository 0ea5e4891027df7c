#pragma once

#include <QObject>

// Whether the desktop prefers dark windows, as far as Qt 6.4 can tell: from the lightness of the
// platform palette's window colour, re-read whenever the application palette changes.
class QuarrySystemColorScheme : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool prefersDark READ prefersDark NOTIFY prefersDarkChanged)

public:
    explicit QuarrySystemColorScheme(QObject* parent = nullptr);
    bool prefersDark() const { return m_prefersDark; }

Q_SIGNALS:
    void prefersDarkChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void update();

    bool m_prefersDark = false;
};
