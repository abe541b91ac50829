// Device answers as they arrive over the socket: any bytes, split anywhere.
#include "FuzzCheck.h"
#include "HttpAnswer.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1)
        return 0;
    // The first byte chooses where the rest splits and whether the connection then closes.
    const std::size_t split = data[0] % 64 + 1;
    const bool close = data[0] & 0x80;
    const QByteArrayView bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    knobly::HttpAnswer whole(4096), pieces(4096);
    whole.feed(bytes);
    for (qsizetype at = 0; at < bytes.size(); at += qsizetype(split))
        pieces.feed(bytes.sliced(at, std::min<qsizetype>(qsizetype(split), bytes.size() - at)));
    if (close) {
        whole.closed();
        pieces.closed();
    }
    // Where the bytes split never changes the outcome; a body never passes the cap.
    FUZZ_CHECK(whole.state() == pieces.state());
    FUZZ_CHECK(whole.status() == pieces.status());
    FUZZ_CHECK(whole.body() == pieces.body());
    FUZZ_CHECK(whole.reusable() == pieces.reusable());
    FUZZ_CHECK(whole.body().size() <= 4096);
    FUZZ_CHECK((whole.state() == knobly::HttpAnswer::State::Failed) == !whole.error().isEmpty());
    return 0;
}
