#include "app/Quorvelabout.h"

#include <QLabel>
#include <QPushButton>

#include "app/SharedState.h"

TForm2::TForm2(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("ABOUT QUORVEL"));
    setFixedSize(251, 163);
    Label1 = new QLabel(QStringLiteral("QUORVEL Ver S2.02"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(82, 8);
    Button1 = new QPushButton(QStringLiteral("&OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(97, 136, 57, 17);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
}

void TForm2::Button1Click(QObject *) { Form2->close(); }
