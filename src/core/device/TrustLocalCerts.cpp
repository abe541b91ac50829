#include "TrustLocalCerts.h"

namespace knobly {

ChallengeDisposition TrustLocalCerts::didReceiveChallenge(const AuthChallenge &challenge) {
    if (challenge.hasServerTrust)
        return ChallengeDisposition::UseCredential;
    return ChallengeDisposition::PerformDefaultHandling;
}

} // namespace knobly
