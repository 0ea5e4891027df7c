// The state document as it may be found on disk: any bytes. What it decodes to is written back and read
// again unchanged, so a save after a load never loses or alters what was read.
#include "fuzz_support.h"

#include "core/state_document.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuarryFuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<QuarryShareAppState> state = decodeAppState(input);
    if (!state)
        return 0;
    for (const QuarryFolderShare& share : state->shares)
        FUZZ_CHECK(share.createdAt.isValid(), input);
    if (state->publicTunnel.lastStartedAt)
        FUZZ_CHECK(state->publicTunnel.lastStartedAt->isValid(), input);
    const QByteArray written = encodeAppState(*state);
    const std::optional<QuarryShareAppState> again = decodeAppState(written);
    FUZZ_CHECK(again.has_value(), input + "\n-> " + written);
    FUZZ_CHECK(*again == *state, input + "\n-> " + written);
    FUZZ_CHECK(encodeAppState(*again) == written, input + "\n-> " + written);
    return 0;
}
