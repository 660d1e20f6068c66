// The About window: program name and version, the icon, and the website and
// support e-mail, each opened with the default program when clicked.
#pragma once

#include <QDialog>
#include <QLabel>
#include <functional>

class IDialogs;
class QPushButton;

// The product's addresses, set at build time (app/CMakeLists.txt).
QString ProductWebsite();
QString SupportEmail();

// A label that reports a left click.
class TClickLabel : public QLabel {
public:
  using QLabel::QLabel;
  std::function<void()> OnClick;

protected:
  void mouseReleaseEvent(QMouseEvent* Event) override;
};

class TFrmAbout : public QDialog {
public:
  TFrmAbout(IDialogs& Dialogs, QWidget* Parent);

  void LblWebsiteClick();
  void LblEmailClick();

  QLabel* Image1;
  QLabel* Label1;
  TClickLabel* LblWebsite;
  TClickLabel* LblEmail;
  QPushButton* BtnOk;

private:
  IDialogs& FDialogs;
};
