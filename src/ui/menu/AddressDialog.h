#pragma once

#include <QDialog>
#include <QString>

#include <optional>

class QLineEdit;

namespace knobly {

// "WiiM IP Address": one field, Connect and Cancel.
class AddressDialog : public QDialog {
    Q_OBJECT
public:
    explicit AddressDialog(const QString &savedIp, QWidget *parent = nullptr);
    QLineEdit *field() const { return field_; }
    QString address() const;

    // Runs the dialog modally: the text when Connect was pressed, else nothing.
    static std::optional<QString> ask(const QString &savedIp);

private:
    QLineEdit *field_;
};

} // namespace knobly
