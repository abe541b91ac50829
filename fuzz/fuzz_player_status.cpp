// getPlayerStatus bodies, and the decimal text reader they share with the other JSON readers.
#include "FuzzCheck.h"
#include "PlayerStatus.h"

#include <QByteArray>
#include <QString>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// What integerFromDecimalText must agree with: an optional sign, then ASCII digits that
// std::from_chars reads into an int64_t without overflow.
void checkDecimalText(const QString &text) {
    const auto value = knobly::integerFromDecimalText(text);

    std::string latin;
    for (QChar c : text) {
        if (c.unicode() > 0x7f) {
            FUZZ_CHECK(!value);
            return;
        }
        latin.push_back(static_cast<char>(c.unicode()));
    }
    std::string_view digits(latin);
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    // from_chars takes a '-' but never a second sign, so "+-1" and "--1" stay invalid.
    std::int64_t expected = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), expected);
    const bool valid = !digits.empty() && error == std::errc() &&
                       end == digits.data() + digits.size() &&
                       !(latin.size() > 1 && latin[0] == '+' && latin[1] == '-');
    FUZZ_CHECK(valid == value.has_value());
    if (value)
        FUZZ_CHECK(*value == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const auto status = knobly::decodePlayerStatus(body);
    FUZZ_CHECK(status.has_value() == knobly::jsonObjectFrom(body).has_value());
    if (status && status->nowPlaying)
        (void)status->nowPlaying->size();

    checkDecimalText(QString::fromUtf8(body));
    checkDecimalText(QString::fromLatin1(body));
    return 0;
}
