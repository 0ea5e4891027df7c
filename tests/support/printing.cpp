#include "support/printing.h"

#include "core/state_document.h"

#include <QJsonDocument>

namespace {

// Bytes as a C string literal: printable ASCII as it is, everything else escaped.
void printEscaped(const QByteArray& bytes, std::ostream* out) {
    static const char hex[] = "0123456789abcdef";
    *out << '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\')
            *out << '\\' << c;
        else if (byte == '\n')
            *out << "\\n";
        else if (byte == '\r')
            *out << "\\r";
        else if (byte < 0x20 || byte == 0x7f)
            *out << "\\x" << hex[byte >> 4] << hex[byte & 0xf];
        else
            *out << c; // UTF-8 sequences stay readable on a UTF-8 terminal
    }
    *out << '"';
}

void printJSON(const QJsonObject& object, std::ostream* out) {
    *out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace

void PrintTo(const QString& text, std::ostream* out) {
    printEscaped(text.toUtf8(), out);
}

void PrintTo(const QByteArray& bytes, std::ostream* out) {
    printEscaped(bytes, out);
}

void PrintTo(const QUuid& uuid, std::ostream* out) {
    *out << uuidText(uuid).toStdString();
}

void PrintTo(const QuarryImportedFolder& folder, std::ostream* out) {
    *out << "{id: " << (folder.folderID ? folder.folderID->toStdString() : std::string("<none>"))
         << ", name: " << folder.name.toStdString() << ", path: " << folder.path.toStdString() << '}';
}

void PrintTo(const QuarryFolderShare& share, std::ostream* out) {
    printJSON(encodeShare(share), out);
}

void PrintTo(const QuarrySharePublicTunnel& tunnel, std::ostream* out) {
    printJSON(encodePublicTunnel(tunnel), out);
}

void PrintTo(const QuarryShareAppState& state, std::ostream* out) {
    printJSON(encodeAppStateObject(state), out);
}
