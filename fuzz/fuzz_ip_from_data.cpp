// Socket addresses from the DNS-SD resolver, in the Linux layout.
#include "DiscoveryParsing.h"
#include "FuzzCheck.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray blob(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const auto ip = knobly::ipFromData(blob);
    if (size < sizeof(sockaddr_in)) {
        FUZZ_CHECK(!ip);
        return 0;
    }
    sockaddr_in v4{};
    std::memcpy(&v4, data, sizeof v4);
    FUZZ_CHECK(ip.has_value() == (v4.sin_family == AF_INET));
    if (ip) {
        char expected[INET_ADDRSTRLEN] = {};
        FUZZ_CHECK(::inet_ntop(AF_INET, &v4.sin_addr, expected, sizeof expected) != nullptr);
        FUZZ_CHECK(*ip == QString::fromLatin1(expected));
    }
    return 0;
}
