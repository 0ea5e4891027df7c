#include "store/share_list_model.h"

#include "store/quarry_share_store.h"

#include <QLocale>

QuarryShareListModel::QuarryShareListModel(const QuarryShareStore& store, QuarryShareSource source,
                                           QObject* parent)
    : QAbstractListModel(parent)
    , m_store(store)
    , m_source(source) {
    m_rows = wantedRows();
}

int QuarryShareListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant QuarryShareListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    return value(m_rows.at(index.row()), role);
}

QHash<int, QByteArray> QuarryShareListModel::roleNames() const {
    return names();
}

const QHash<int, QByteArray>& QuarryShareListModel::names() {
    static const QHash<int, QByteArray> table{
        {idRole, "id"},
        {nameRole, "name"},
        {displayNameRole, "displayName"},
        {pathRole, "path"},
        {urlSlugRole, "urlSlug"},
        {isEnabledRole, "isEnabled"},
        {isPasswordProtectedRole, "isPasswordProtected"},
        {sourceRole, "source"},
        {sourceTitleRole, "sourceTitle"},
        {shareURLRole, "shareURL"},
        {localURLsRole, "localURLs"},
        {publicShareURLRole, "publicShareURL"},
        {availableUntilRole, "availableUntil"},
        {availableUntilTextRole, "availableUntilText"},
        {hasEndedRole, "hasEnded"},
    };
    return table;
}

QVariantMap QuarryShareListModel::item(const QuarryShareStore& store, const QuarryFolderShare& share) {
    const Row row = rowFor(store, share);
    QVariantMap map;
    for (auto it = names().cbegin(); it != names().cend(); ++it)
        map.insert(QString::fromLatin1(it.value()), value(row, it.key()));
    return map;
}

QuarryShareListModel::Row QuarryShareListModel::rowFor(const QuarryShareStore& store,
                                                       const QuarryFolderShare& share) {
    Row row;
    row.share = share;
    for (const QString& origin : store.server()->availableOrigins())
        row.localURLs.append(origin + share.urlSlug + QLatin1Char('/'));
    row.shareURL = store.shareURLString(share);
    row.publicShareURL = store.publicShareURLString(share).value_or(QString());
    return row;
}

QVariant QuarryShareListModel::value(const Row& row, int role) {
    const QuarryFolderShare& share = row.share;
    switch (role) {
    case idRole:
        return uuidText(share.id);
    case nameRole:
        return share.name;
    case displayNameRole:
        return share.displayName();
    case pathRole:
        return share.path;
    case urlSlugRole:
        return share.urlSlug;
    case isEnabledRole:
        return share.isEnabled;
    case isPasswordProtectedRole:
        return share.isPasswordProtected();
    case sourceRole:
        return rawValue(share.source);
    case sourceTitleRole:
        return title(share.source);
    case shareURLRole:
        return row.shareURL;
    case localURLsRole:
        return row.localURLs;
    case publicShareURLRole:
        return row.publicShareURL;
    case availableUntilRole:
        return share.availableUntil ? QuarryShareStore::endFieldText(*share.availableUntil) : QString();
    case availableUntilTextRole:
        return share.availableUntil
                   ? QLocale().toString(share.availableUntil->toLocalTime(), QLocale::LongFormat)
                   : QString();
    case hasEndedRole:
        return !share.isEnabled && share.availableUntil &&
               *share.availableUntil <= QDateTime::currentDateTimeUtc();
    default:
        return {};
    }
}

QList<QuarryShareListModel::Row> QuarryShareListModel::wantedRows() const {
    const QList<QuarryFolderShare> shares =
        m_source == QuarryShareSource::quarry ? m_store.importedShares() : m_store.customShares();
    QList<Row> rows;
    rows.reserve(shares.size());
    for (const QuarryFolderShare& share : shares)
        rows.append(rowFor(m_store, share));
    return rows;
}

void QuarryShareListModel::refresh() {
    const QList<Row> wanted = wantedRows();
    const auto indexOf = [](const QList<Row>& rows, const QUuid& id, qsizetype from) -> qsizetype {
        for (qsizetype i = from; i < rows.size(); ++i) {
            if (rows[i].share.id == id)
                return i;
        }
        return -1;
    };
    // Rows whose share is gone, from the end so the indexes ahead stay valid.
    for (qsizetype i = m_rows.size() - 1; i >= 0; --i) {
        if (indexOf(wanted, m_rows[i].share.id, 0) >= 0)
            continue;
        beginRemoveRows(QModelIndex(), int(i), int(i));
        m_rows.removeAt(i);
        endRemoveRows();
    }
    // Then, place by place: the row that belongs there moves up from further down, or is new.
    for (qsizetype i = 0; i < wanted.size(); ++i) {
        const qsizetype found = indexOf(m_rows, wanted[i].share.id, i);
        if (found < 0) {
            beginInsertRows(QModelIndex(), int(i), int(i));
            m_rows.insert(i, wanted[i]);
            endInsertRows();
            continue;
        }
        if (found != i) {
            beginMoveRows(QModelIndex(), int(found), int(found), QModelIndex(), int(i));
            m_rows.move(found, i);
            endMoveRows();
        }
        if (!(m_rows[i] == wanted[i])) {
            m_rows[i] = wanted[i];
            Q_EMIT dataChanged(index(int(i)), index(int(i)));
        }
    }
}
