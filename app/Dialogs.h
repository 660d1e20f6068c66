// What the window asks of the desktop and of the user outside its own
// controls: message boxes, the file and folder dialogs, and opening a web
// address, mail link, document or folder with the default program, and desktop
// notifications. The window uses
// TQtDialogs; tests hand in a recorder that answers and records instead.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>
#include <vector>

class QWidget;

enum class TMessageIcon { Information, Warning, Error };

// The progress of long work that the window does in steps (adding many files,
// setting up a batch); the dialog goes when the object goes.
class IProgress {
public:
  virtual ~IProgress() = default;
  // Steps done so far, out of the maximum.
  virtual void SetValue(int Value) = 0;
  // Whether the user asked to cancel.
  virtual bool Cancelled() = 0;
  // What the dialog says from now on.
  virtual void SetLabel(const QString& Label) { (void)Label; }
};

class IDialogs {
public:
  virtual ~IDialogs() = default;
  // A modal message box with an OK button; returns when it is answered or
  // closed by CloseMessages. While a progress dialog is open the box is its
  // child, so that it is in front of it and takes the keys.
  virtual void Message(QWidget* Parent, const QString& Title, const QString& Text, TMessageIcon Icon) = 0;
  // Closes every message box that is open (as if answered with OK).
  virtual void CloseMessages() {}
  // A modal question box with Yes and No; No is the default, so Enter,
  // Escape and the close button answer No. True for Yes.
  virtual bool Ask(QWidget* Parent, const QString& Title, const QString& Text) = 0;
  // The files chosen (several allowed) in a file-open dialog; empty when
  // cancelled. Filter: the dialog's filter list, "Description|patterns|...".
  virtual QStringList OpenFiles(QWidget* Parent, const QString& Title, const QString& Filter) = 0;
  // A folder chosen in a folder dialog (directories only); empty when cancelled.
  virtual QString ChooseFolder(QWidget* Parent, const QString& Title, const QString& Start) = 0;
  // Opens Url with the default program; false when nothing could open it.
  virtual bool OpenUrl(const QUrl& Url) = 0;
  // A desktop notification; fails silently (no notification service, no bus).
  virtual void Notify(const QString& Title, const QString& Text) = 0;
  // A window-modal progress dialog with a Cancel button for work of Maximum
  // steps (0: of steps not known beforehand, a busy bar); work that ends
  // quickly never shows it.
  virtual std::unique_ptr<IProgress> Progress(QWidget* Parent, const QString& Title, const QString& Label,
                                              int Maximum) = 0;
};

// The desktop's own dialogs (QMessageBox, QFileDialog, QDesktopServices).
class TQtDialogs : public IDialogs {
public:
  void Message(QWidget* Parent, const QString& Title, const QString& Text, TMessageIcon Icon) override;
  void CloseMessages() override;
  bool Ask(QWidget* Parent, const QString& Title, const QString& Text) override;
  QStringList OpenFiles(QWidget* Parent, const QString& Title, const QString& Filter) override;
  QString ChooseFolder(QWidget* Parent, const QString& Title, const QString& Start) override;
  bool OpenUrl(const QUrl& Url) override;
  // org.freedesktop.Notifications on the session bus, without waiting.
  void Notify(const QString& Title, const QString& Text) override;
  // A QProgressDialog shown after half a second of work.
  std::unique_ptr<IProgress> Progress(QWidget* Parent, const QString& Title, const QString& Label,
                                      int Maximum) override;

private:
  std::vector<QWidget*> FOpenBoxes;   // message boxes open now, innermost last
  std::vector<QWidget*> FProgresses;  // progress dialogs open now, innermost last
};

// Opens Url with the default program; when nothing could, shows a box that
// says so (NoProgram) with the path or address below, to be copied.
void OpenOrShow(IDialogs& Dialogs, QWidget* Parent, const QUrl& Url, const QString& NoProgram);

// A filter list "Desc|*.a;*.b|Other(*.c)|*.c" as the name filters of a Qt
// file dialog: "Desc (*.a *.b)", "Other (*.c)"; "*.*" becomes "*", so that
// files without an extension show too.
QStringList QtNameFilters(const QString& Filter);
