#pragma once

// What knoblyctl's commands share: exit codes, waiting for an answer, saying a failure.
#include "WiiMClient.h"

#include <QEventLoop>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

namespace knobly::ctl {

enum Exit { Ok = 0, NoAnswer = 1, Usage = 2 };

// A command is done only when the device says OK: an error page or "unknown command" is a no,
// and the reason is said.
inline int failed(const WiiMClient &client) {
    std::fprintf(stderr, "knoblyctl: the device at %s %s\n", qUtf8Printable(client.ipAddress()),
                 qUtf8Printable(client.failureReason()));
    return NoAnswer;
}

// Generous: the client gives up after its own timeout well before this.
constexpr auto waitLimit = std::chrono::seconds(30);

// The answer of an asynchronous call, turning the event loop until it comes.
template <typename T, typename Ask> std::optional<T> await(Ask ask) {
    auto answer = std::make_shared<std::optional<std::optional<T>>>();
    QEventLoop loop;
    QTimer::singleShot(waitLimit, &loop, &QEventLoop::quit);
    ask([answer, loop = QPointer<QEventLoop>(&loop)](std::optional<T> value) {
        *answer = std::move(value);
        if (loop)
            loop->quit();
    });
    if (!answer->has_value())
        loop.exec();
    return answer->value_or(std::nullopt);
}

template <typename Send> bool awaitDone(Send send) {
    return await<bool>(send).value_or(false);
}

inline std::optional<PlayerStatus> queryStatus(WiiMClient &client) {
    return await<PlayerStatus>([&](auto done) { client.fetchPlayerStatus(std::move(done)); });
}

// A line for every change of the device's state until SIGINT or SIGTERM; the state now (with
// how its events do, when verbose).
int watch(WiiMClient &client, double interval, const QUrl &description);
int status(WiiMClient &client, bool verbose, const QUrl &description);

// knoblyctl group [list | add ADDRESS | remove ADDRESS | ungroup | volume N] on `client`.
int group(WiiMClient &client, const QStringList &words);

} // namespace knobly::ctl
