#include "admin/about.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/picture.h"
#include "version.h"

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("aboutDialog");
    setWindowTitle("About Brindlex");
    auto* layout = new QVBoxLayout(this);

    auto* picture = new QLabel;
    picture->setObjectName("aboutPicture");
    picture->setPixmap(ProgramPicture());
    picture->setAlignment(Qt::AlignCenter);
    layout->addWidget(picture);

    auto* version = new QLabel(QString::fromLatin1(BRINDLEX_VERSION_CAPTION));
    version->setObjectName("aboutVersion");
    version->setAlignment(Qt::AlignCenter);
    layout->addWidget(version);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    buttons->setCenterButtons(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
