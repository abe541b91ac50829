// DNS-SD TXT records as the backend hands them over, and what the service name, type and TXT
// record say together.
//
// Input layout: byte 0 is the name's length, byte 1 the type's, byte 2 chooses whether
// there is a TXT record at all; the name and type follow, and the rest is the TXT record's
// strings, each behind a length byte (a length past the end takes what is left).
#include "DiscoveryParsing.h"
#include "FuzzCheck.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

knobly::TxtRecord recordOf(const QByteArray &wire) {
    knobly::TxtRecord record;
    for (qsizetype pos = 0; pos < wire.size();) {
        const qsizetype length = static_cast<unsigned char>(wire[pos++]);
        record.push_back(knobly::txtEntry(wire.mid(pos, length)));
        pos += length;
    }
    return record;
}

void checkDictionary(const knobly::TxtRecord &txt) {
    const QMap<QString, QByteArray> map = knobly::txtRecordDictionary(txt);
    knobly::TxtRecord rebuilt;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        FUZZ_CHECK(!it.key().isEmpty());
        FUZZ_CHECK(!it.key().contains(QLatin1Char('=')));
        // A key with no value is written bare: "key" and "key=" read the same, and a bare key
        // may already fill all 255 bytes.
        const QByteArray entry =
            it.value().isEmpty() ? it.key().toUtf8() : it.key().toUtf8() + '=' + it.value();
        rebuilt.push_back(knobly::txtEntry(entry));
    }
    // The same pairs, written out and split again, read back as the same map.
    FUZZ_CHECK(knobly::txtRecordDictionary(rebuilt) == map);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    checkDictionary(recordOf(input));

    if (size < 3)
        return 0;
    qsizetype pos = 3;
    const qsizetype nameLength = std::min<qsizetype>(data[0], input.size() - pos);
    const QString name = QString::fromUtf8(input.mid(pos, nameLength));
    pos += nameLength;
    const qsizetype typeLength = std::min<qsizetype>(data[1], input.size() - pos);
    const QString type = QString::fromUtf8(input.mid(pos, typeLength));
    pos += typeLength;
    const QByteArray rest = input.mid(pos);
    const std::optional<knobly::TxtRecord> txt =
        (data[2] & 1) ? std::nullopt : std::optional(recordOf(rest));
    if (txt)
        checkDictionary(*txt);

    const auto c = knobly::classifyService(name, type, txt);
    const bool airplay = type.contains(QLatin1String("airplay"));
    FUZZ_CHECK(c.source ==
               (airplay ? knobly::DiscoverySource::airplay : knobly::DiscoverySource::chromecast));
    if (airplay || !txt)
        FUZZ_CHECK(c.name == name);
    if (!txt)
        FUZZ_CHECK(c.model.isEmpty());
    const QString lowerName = name.toLower();
    if (lowerName.contains(QLatin1String("wiim")) || lowerName.contains(QLatin1String("linkplay")))
        FUZZ_CHECK(c.recognised);
    return 0;
}
