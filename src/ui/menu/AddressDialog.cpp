#include "AddressDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace knobly {

AddressDialog::AddressDialog(const QString &savedIp, QWidget *parent)
    : QDialog(parent), field_(new QLineEdit(savedIp, this)) {
    setWindowTitle(QStringLiteral("Knobly"));
    auto *message = new QLabel(tr("WiiM IP Address"), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    auto *informative = new QLabel(tr("Enter the local IP of your WiiM device."), this);
    field_->setPlaceholderText(QStringLiteral("192.168.1.xxx"));
    field_->setFixedSize(220, 24);
    auto *buttons = new QDialogButtonBox(this);
    QPushButton *connectButton = buttons->addButton(tr("Connect"), QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    connectButton->setDefault(true); // Return connects
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addWidget(informative);
    layout->addWidget(field_);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString AddressDialog::address() const {
    return field_->text();
}

std::optional<QString> AddressDialog::ask(const QString &savedIp) {
    AddressDialog dialog(savedIp);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.address();
}

} // namespace knobly
