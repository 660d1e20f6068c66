#include "Dialogs.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusInterface>

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProgressDialog>

void TQtDialogs::Message(QWidget* Parent, const QString& Title, const QString& Text, TMessageIcon Icon) {
  const QMessageBox::Icon icon = Icon == TMessageIcon::Information ? QMessageBox::Information
                                 : Icon == TMessageIcon::Warning   ? QMessageBox::Warning
                                                                   : QMessageBox::Critical;
  // In front of an open progress dialog (a child of it), so that its OK and
  // Enter answer the box and do not reach the progress dialog's Cancel.
  // The progress dialog is shown first if its delay has not yet passed, so
  // that it cannot appear over the box (and take the focus) later.
  QWidget* parent = FProgresses.empty() ? Parent : FProgresses.back();
  if (parent != Parent && !parent->isVisible()) parent->show();
  QMessageBox box(icon, Title, Text, QMessageBox::Ok, parent);
  // A path or message in the box can be selected and copied.
  box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  FOpenBoxes.push_back(&box);
  box.exec();
  std::erase(FOpenBoxes, &box);
}

void TQtDialogs::CloseMessages() {
  for (QWidget* box : FOpenBoxes) static_cast<QMessageBox*>(box)->done(QMessageBox::Ok);
}

bool TQtDialogs::Ask(QWidget* Parent, const QString& Title, const QString& Text) {
  QMessageBox box(QMessageBox::Question, Title, Text, QMessageBox::Yes | QMessageBox::No, Parent);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

QStringList TQtDialogs::OpenFiles(QWidget* Parent, const QString& Title, const QString& Filter) {
  QFileDialog dialog(Parent, Title);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setNameFilters(QtNameFilters(Filter));
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles();
}

QString TQtDialogs::ChooseFolder(QWidget* Parent, const QString& Title, const QString& Start) {
  return QFileDialog::getExistingDirectory(Parent, Title, Start, QFileDialog::ShowDirsOnly);
}

bool TQtDialogs::OpenUrl(const QUrl& Url) { return QDesktopServices::openUrl(Url); }

void TQtDialogs::Notify(const QString& Title, const QString& Text) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusInterface service("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", bus);
  if (!service.isValid()) return;
  // app_name, replaces_id, app_icon, summary, body, actions, hints, timeout (-1: the server's)
  service.call(QDBus::NoBlock, "Notify", QApplication::applicationName(), 0u, QString("video-x-generic"), Title, Text,
               QStringList(), QVariantMap(), -1);
}

void OpenOrShow(IDialogs& Dialogs, QWidget* Parent, const QUrl& Url, const QString& NoProgram) {
  if (Dialogs.OpenUrl(Url)) return;
  const QString where = Url.isLocalFile() ? Url.toLocalFile() : Url.scheme() == "mailto" ? Url.path() : Url.toString();
  Dialogs.Message(Parent, "Information", NoProgram + "\n\n" + where, TMessageIcon::Information);
}

QStringList QtNameFilters(const QString& Filter) {
  const QStringList parts = Filter.split('|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    // Qt reads the patterns from the parentheses at the end of each filter,
    // separated by blanks: "DivX(*.divx;*.div)" becomes "DivX (*.divx *.div)".
    QString description = parts[i];
    const qsizetype open = description.lastIndexOf('(');
    if (open > 0 && description.endsWith(')')) description.truncate(open);
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    // "*.*" would hide the files without an extension; "All Files" means all.
    if (patterns == "*.*") patterns = "*";
    filters << description.trimmed() + " (" + patterns + ")";
  }
  return filters;
}

namespace {

class TQtProgress : public IProgress {
public:
  TQtProgress(std::vector<QWidget*>& Open, QWidget* Parent, const QString& Title, const QString& Label,
              int Maximum)
      : FOpen(Open), FDialog(Label, "Cancel", 0, Maximum, Parent) {
    FOpen.push_back(&FDialog);
    FDialog.setWindowTitle(Title);
    FDialog.setWindowModality(Qt::WindowModal);
    FDialog.setMinimumDuration(500);
    FDialog.setAutoClose(false);
    FDialog.setAutoReset(false);
    FDialog.setValue(0);
  }
  ~TQtProgress() override {
    std::erase(FOpen, &FDialog);
    // The keys go back to the window the work was for: a window manager may
    // leave the focus nowhere when the dialog that had it goes.
    QWidget* parent = FDialog.parentWidget();
    const bool hadFocus = FDialog.isActiveWindow() || (FDialog.isVisible() && !QApplication::activeWindow());
    FDialog.hide();
    if (parent && hadFocus) parent->activateWindow();
  }
  void SetValue(int Value) override { FDialog.setValue(Value); }
  bool Cancelled() override { return FDialog.wasCanceled(); }
  void SetLabel(const QString& Label) override { FDialog.setLabelText(Label); }

private:
  std::vector<QWidget*>& FOpen;
  QProgressDialog FDialog;
};

}  // namespace

std::unique_ptr<IProgress> TQtDialogs::Progress(QWidget* Parent, const QString& Title, const QString& Label,
                                                int Maximum) {
  return std::make_unique<TQtProgress>(FProgresses, Parent, Title, Label, Maximum);
}
