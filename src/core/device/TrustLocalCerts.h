#pragma once

#include "UrlSession.h"

namespace knobly {

// Devices present their own self-signed certificates, so a server-trust challenge is
// answered by accepting whatever the server sent; every other challenge gets the default.
class TrustLocalCerts final : public SessionDelegate {
public:
    ChallengeDisposition didReceiveChallenge(const AuthChallenge &challenge) override;
};

} // namespace knobly
