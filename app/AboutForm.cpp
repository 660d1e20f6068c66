#include "AboutForm.h"

#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include "AppIcon.h"
#include "Dialogs.h"

QString ProductWebsite() { return VIDLOMAT_WEBSITE; }
QString SupportEmail() { return VIDLOMAT_SUPPORT_EMAIL; }

void TClickLabel::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint()) && OnClick) OnClick();
  QLabel::mouseReleaseEvent(Event);
}

TFrmAbout::TFrmAbout(IDialogs& Dialogs, QWidget* Parent) : QDialog(Parent), FDialogs(Dialogs) {
  setWindowTitle("About Vidlomat");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  Image1 = new QLabel(this);
  Image1->setPixmap(AppPixmap(32));
  Image1->setFixedSize(32, 32);
  Label1 = new QLabel("Vidlomat V" VIDLOMAT_RELEASE, this);
  Label1->setAlignment(Qt::AlignCenter);
  QFont title = Label1->font();
  title.setBold(true);
  title.setPointSizeF(title.pointSizeF() * 1.3);
  Label1->setFont(title);

  auto link = [this](const QString& Text) {
    auto* label = new TClickLabel(Text, this);
    label->setCursor(Qt::PointingHandCursor);
    label->setAlignment(Qt::AlignCenter);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::Link));
    label->setPalette(palette);
    QFont font = label->font();
    font.setUnderline(true);
    label->setFont(font);
    return label;
  };
  LblWebsite = link("Website: " + ProductWebsite());
  LblWebsite->OnClick = [this] { LblWebsiteClick(); };
  LblEmail = link("Support Email: " + SupportEmail());
  LblEmail->OnClick = [this] { LblEmailClick(); };

  BtnOk = new QPushButton("OK", this);
  BtnOk->setDefault(true);
  connect(BtnOk, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addSpacing(8);
  layout->addWidget(Image1, 0, Qt::AlignHCenter);
  layout->addWidget(Label1);
  layout->addStretch(1);
  layout->addWidget(LblWebsite);
  layout->addWidget(LblEmail);
  layout->addStretch(1);
  layout->addWidget(BtnOk, 0, Qt::AlignHCenter);

  const QSize hint = layout->sizeHint();
  setFixedSize(std::max(276, hint.width()), std::max(230, hint.height()));
}

void TFrmAbout::LblWebsiteClick() {
  OpenOrShow(FDialogs, this, QUrl(ProductWebsite()), "No web browser could open the website. Its address:");
}

void TFrmAbout::LblEmailClick() {
  OpenOrShow(FDialogs, this, QUrl("mailto:" + SupportEmail()), "No mail program could start a message. The address:");
}
