#include "SingleInstance.h"

#include <unistd.h>

#include <QByteArray>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QTimer>
#include <utility>

namespace {
// The method a later start calls: Open(aay files, b convert). Paths travel as
// bytes, since a file name need not be UTF-8.
const char* const kOpen = "Open";

std::string Absolute(const std::string& Argument) {
  if (Argument.empty() || Argument[0] == '/' || Argument.rfind("file:", 0) == 0) return Argument;
  std::string folder(4096, '\0');
  if (!getcwd(folder.data(), folder.size())) return Argument;
  folder.resize(folder.find('\0'));
  return (folder == "/" ? "" : folder) + "/" + Argument;
}
}  // namespace

// The object at kPath: answers Open at once and hands the files on through
// the event loop.
class TSingleInstance::TObject : public QDBusVirtualObject {
public:
  explicit TObject(TSingleInstance& Owner) : FOwner(Owner) {}

  QString introspect(const QString&) const override {
    return QString("<interface name=\"") + kInterface + "\"><method name=\"" + kOpen +
           "\"><arg name=\"files\" type=\"aay\" direction=\"in\"/><arg name=\"convert\" type=\"b\" "
           "direction=\"in\"/></method></interface>";
  }

  bool handleMessage(const QDBusMessage& Message, const QDBusConnection& Connection) override {
    if (Message.type() != QDBusMessage::MethodCallMessage || Message.interface() != kInterface ||
        Message.member() != kOpen)
      return false;
    if (Message.signature() != "aayb") {
      Connection.send(Message.createErrorReply(QDBusError::InvalidArgs, "Open takes (aay files, b convert)"));
      return true;
    }
    const QList<QVariant> args = Message.arguments();
    std::vector<std::string> files;
    for (const QByteArray& file : qdbus_cast<QByteArrayList>(args[0])) files.push_back(file.toStdString());
    const bool convert = args[1].toBool();
    Connection.send(Message.createReply());
    // Not from inside the bus's dispatch: the window may open boxes.
    QTimer::singleShot(0, this, [this, files = std::move(files), convert]() mutable {
      FOwner.Arrived(std::move(files), convert);
    });
    return true;
  }

private:
  TSingleInstance& FOwner;
};

TSingleInstance::TSingleInstance(QDBusConnection Bus) : FBus(std::move(Bus)) {
  qDBusRegisterMetaType<QByteArrayList>();
}

TSingleInstance::~TSingleInstance() {
  if (!FOwner) return;
  FBus.unregisterObject(kPath);
  FBus.unregisterService(kService);
}

bool TSingleInstance::Claim() {
  if (!FBus.isConnected()) return true;
  QDBusConnectionInterface* bus = FBus.interface();
  if (!bus) return true;
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
      bus->registerService(kService, QDBusConnectionInterface::DontQueueService,
                           QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid()) return true;  // a bus that refuses names: a window of its own
  if (reply.value() != QDBusConnectionInterface::ServiceRegistered) return false;
  FObject = std::make_unique<TObject>(*this);
  FBus.registerVirtualObject(kPath, FObject.get());
  FOwner = true;
  return true;
}

bool TSingleInstance::HandOver(const std::vector<std::string>& Files, bool Convert, QString* Error) {
  QByteArrayList files;
  for (const std::string& file : Files) files << QByteArray::fromStdString(Absolute(file));
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, kOpen);
  call << QVariant::fromValue(files) << Convert;
  // The events go on meanwhile: the window that answers may be this
  // process's own (tests).
  const QDBusMessage reply = FBus.call(call, QDBus::BlockWithGui, 30000);
  if (reply.type() == QDBusMessage::ReplyMessage) return true;
  if (Error) *Error = reply.errorMessage();
  return false;
}

void TSingleInstance::SetOnOpen(std::function<void(const std::vector<std::string>&, bool)> OnOpen) {
  FOnOpen = std::move(OnOpen);
  for (auto& [files, convert] : std::exchange(FWaiting, {})) FOnOpen(files, convert);
}

void TSingleInstance::Arrived(std::vector<std::string> Files, bool Convert) {
  if (FOnOpen)
    FOnOpen(Files, Convert);
  else
    FWaiting.emplace_back(std::move(Files), Convert);
}
