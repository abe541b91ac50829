// The hex text of UTF-8 the device sends for titles and artists, taken as UTF-8 text.
#include "FuzzCheck.h"
#include "PlayerStatus.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const auto text = knobly::hexDecode(QString::fromUtf8(bytes));
    // Whatever decodes must survive the device's own encoding and come back unchanged, but
    // for a leading byte order mark, which the UTF-8 decoder drops by default.
    if (text) {
        const QString hex = QString::fromLatin1(text->toUtf8().toHex().toUpper());
        const auto again = knobly::hexDecode(hex);
        FUZZ_CHECK(again.has_value());
        FUZZ_CHECK(*again == *text || (text->startsWith(QChar(0xfeff)) && *again == text->mid(1)));
    }

    // The raw bytes as the device would hex them come back whole when they are UTF-8.
    const auto raw = knobly::hexDecode(QString::fromLatin1(bytes.toHex()));
    if (raw) {
        const QByteArray utf8 = raw->toUtf8();
        FUZZ_CHECK(utf8 == bytes || (bytes.startsWith("\xef\xbb\xbf") && utf8 == bytes.mid(3)));
    }
    return 0;
}
