#pragma once

#include <QCoreApplication>
#include <QString>

#include <optional>

namespace knobly {

// Starting the program when the user logs in. Whether it is on is read from the system each
// time: the user may change it elsewhere.
class LoginItem {
public:
    LoginItem() = delete;

    static bool isEnabled();
    // Nothing when done, else what went wrong, in words for the user. `program` is what
    // starts at login: the program running now unless told otherwise.
    static std::optional<QString>
    setEnabled(bool on, const QString &program = QCoreApplication::applicationFilePath());
};

} // namespace knobly
