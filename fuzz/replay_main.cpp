// Replays a fuzz target's corpus once, without libFuzzer: every file of every folder (or file) given, in
// name order, through the target's entry point. A fixed crash stays fixed in the normal test build.
#include "fuzz_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

extern "C" const char* __asan_default_options() {
    return "detect_leaks=1:abort_on_error=0:strict_string_checks=1";
}

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        const QFileInfo given(QFile::decodeName(argv[i]));
        if (given.isDir()) {
            const QDir folder(given.filePath());
            for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden, QDir::Name))
                files.append(folder.filePath(name));
        } else if (given.isFile()) {
            files.append(given.filePath());
        } else {
            std::fprintf(stderr, "replay: %s is neither a file nor a folder\n", argv[i]);
            return 2;
        }
    }
    if (files.isEmpty()) {
        std::fprintf(stderr, "replay: no inputs given\n");
        return 2;
    }
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "replay: cannot read %s\n", qPrintable(path));
            return 2;
        }
        const QByteArray bytes = file.readAll();
        std::fprintf(stderr, "replay: %s (%lld bytes)\n", qPrintable(path),
                     static_cast<long long>(bytes.size()));
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()), bytes.size());
    }
    std::fprintf(stderr, "replay: %lld inputs, no finding\n", static_cast<long long>(files.size()));
    return 0;
}
