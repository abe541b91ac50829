#pragma once

#include <QByteArray>
#include <QString>

namespace devicesim {

struct PemPair {
    QByteArray certificate;
    QByteArray privateKey;
};

// A fresh EC P-256 key and a self-signed certificate for it, CN "WiiM", valid ~10 years,
// both as PEM. Plain OpenSSL, no Qt objects, so any thread may call it.
bool makeSelfSignedCert(PemPair *out, QString *error);

} // namespace devicesim
