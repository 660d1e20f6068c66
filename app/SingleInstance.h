// One window per user session: the first start of the program owns the name
// org.vidlomat.Vidlomat on the session bus, and a later start ("Open with"
// on another file, `vidlomat --convert FOLDER`) hands its files to it over
// the bus and ends, so that there is one list, kept by one window. Without a
// session bus every start is a window of its own, as before. User-interface
// thread only.
#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TSingleInstance {
public:
  static constexpr const char* kService = "org.vidlomat.Vidlomat";
  static constexpr const char* kPath = "/org/vidlomat/Vidlomat";
  static constexpr const char* kInterface = "org.vidlomat.Vidlomat";

  explicit TSingleInstance(QDBusConnection Bus);
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  // Takes the name, and with it the files of later starts. False when
  // another start of the program holds it; true also when there is no bus.
  bool Claim();

  // Hands Files (the program's arguments: paths, relative ones made
  // absolute here, or file: URLs) to the start that holds the name, with
  // Convert for `--convert`. False, with Error, when no start took them.
  bool HandOver(const std::vector<std::string>& Files, bool Convert, QString* Error = nullptr);

  // What a later start handed over, called from the event loop once the
  // call is answered (the later start never waits for the window). Requests
  // that came before this is set wait for it.
  void SetOnOpen(std::function<void(const std::vector<std::string>& Files, bool Convert)> OnOpen);

private:
  class TObject;
  void Arrived(std::vector<std::string> Files, bool Convert);

  QDBusConnection FBus;
  std::unique_ptr<TObject> FObject;  // registered at kPath while the name is held
  bool FOwner = false;
  std::function<void(const std::vector<std::string>&, bool)> FOnOpen;
  std::vector<std::pair<std::vector<std::string>, bool>> FWaiting;  // arrived before FOnOpen
};
