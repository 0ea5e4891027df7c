#pragma once

#include "core/share_records.h"

#include <QAbstractListModel>
#include <QStringList>
#include <QVariantMap>

class QuarryShareStore;

// The shares of one source as rows for the windows, in the sidebar's order (by display name), kept in
// step with the store row by row: a changed share changes its row, a new one inserts a row, one that
// sorts elsewhere after a rename moves; the views keep every other row, and its item, as it is.
class QuarryShareListModel : public QAbstractListModel {
    Q_OBJECT

public:
    // Role names, as QML reads them: id (text), name, displayName, path, urlSlug, isEnabled,
    // isPasswordProtected, source (raw value), sourceTitle, shareURL (under the first origin), localURLs
    // (under every origin), publicShareURL (empty when there is none), availableUntil (the end as
    // "yyyy-MM-dd HH:mm" in local time, empty when none), availableUntilText (the end in the user's
    // words, empty when none), hasEnded (the end has passed).
    enum Role {
        idRole = Qt::UserRole + 1,
        nameRole,
        displayNameRole,
        pathRole,
        urlSlugRole,
        isEnabledRole,
        isPasswordProtectedRole,
        sourceRole,
        sourceTitleRole,
        shareURLRole,
        localURLsRole,
        publicShareURLRole,
        availableUntilRole,
        availableUntilTextRole,
        hasEndedRole,
    };

    QuarryShareListModel(const QuarryShareStore& store, QuarryShareSource source, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // One share's row as a map of role names to values, whatever its source.
    static QVariantMap item(const QuarryShareStore& store, const QuarryFolderShare& share);

    // Brings the rows in line with the store; called whenever the shares, the origins or the public link
    // change.
    void refresh();

private:
    struct Row {
        QuarryFolderShare share;
        QStringList localURLs;
        QString shareURL;
        QString publicShareURL;
        bool operator==(const Row&) const = default;
    };
    static const QHash<int, QByteArray>& names();
    static Row rowFor(const QuarryShareStore& store, const QuarryFolderShare& share);
    static QVariant value(const Row& row, int role);
    QList<Row> wantedRows() const;

    const QuarryShareStore& m_store;
    QuarryShareSource m_source;
    QList<Row> m_rows;
};
