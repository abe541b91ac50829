// SSDP answers as they arrive on the multicast socket.
#include "DiscoveryParsing.h"
#include "FuzzCheck.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray datagram(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const auto answerClass = knobly::classifySsdpAnswer(datagram);
    FUZZ_CHECK(answerClass == knobly::SsdpAnswerClass::wiimLike ||
               answerClass == knobly::SsdpAnswerClass::renderer ||
               answerClass == knobly::SsdpAnswerClass::other);
    FUZZ_CHECK(!knobly::ssdpFallbackName(answerClass).isEmpty());

    // The receive loop stops at the first zero byte, so nothing after it may count.
    QByteArray padded = datagram;
    padded.append('\0');
    padded.append("SERVER: Linkplay/1.0 UPnP/1.0 WiiM");
    FUZZ_CHECK(knobly::classifySsdpAnswer(padded) == answerClass);
    return 0;
}
