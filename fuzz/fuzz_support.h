#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// What every fuzz target shares, under libFuzzer and under the replay main alike.
namespace QuarryFuzz {

// Once per process: points HOME, the XDG folders and TMPDIR at a fresh folder (removed at exit), pins
// a UTF-8 locale and creates the Qt application object the readers and the connection need.
void enterSandbox();
// The fresh folder of enterSandbox().
QString sandboxPath();

// Reports a broken property with the input that broke it and aborts, so both libFuzzer and ctest see a
// crash; unlike assert(), it stays armed in every build type.
[[noreturn]] void fail(const char* property, const QByteArray& detail);

} // namespace QuarryFuzz

#define FUZZ_CHECK(condition, detail)                                                                        \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            QuarryFuzz::fail(#condition, (detail));                                                          \
    } while (false)

// Each target defines both; the replay main and libFuzzer call them the same way.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
