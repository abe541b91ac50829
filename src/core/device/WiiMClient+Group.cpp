#include "WiiMClient.h"

namespace knobly {

void WiiMClient::fetchSlaveList(std::function<void(std::optional<SlaveList>)> completion) {
    query(QStringLiteral("multiroom:getSlaveList"), &decodeSlaveList, std::move(completion));
}

void WiiMClient::sendNaming(const QString &address, const QString &command,
                            DoneCallback completion) {
    const auto named = multiroomAddress(address);
    if (!named) {
        failureReason_ = address.trimmed().isEmpty()
                             ? QStringLiteral("was given no leader address")
                             : QStringLiteral("cannot be given \"%1\" as an address").arg(address);
        if (completion)
            completion(false);
        return;
    }
    sendCommand(command.arg(*named), std::move(completion));
}

void WiiMClient::joinGroup(const QString &leaderAddress, DoneCallback completion) {
    sendNaming(leaderAddress, QStringLiteral("ConnectMasterAp:JoinGroupMaster:eth%1:wifi0.0.0.0"),
               std::move(completion));
}

void WiiMClient::removeFromGroup(const QString &memberAddress, DoneCallback completion) {
    sendNaming(memberAddress, QStringLiteral("multiroom:SlaveKickout:%1"), std::move(completion));
}

void WiiMClient::ungroup(DoneCallback completion) {
    sendCommand(QStringLiteral("multiroom:Ungroup"), std::move(completion));
}

void WiiMClient::leaveGroup(DoneCallback completion) {
    sendCommand(QStringLiteral("multiroom:LeaveGroup"), std::move(completion));
}

} // namespace knobly
