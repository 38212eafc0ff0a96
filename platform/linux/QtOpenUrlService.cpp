#include "platform/linux/QtOpenUrlService.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMetaObject>
#include <QWidget>

#include "platform/Platform.h"

namespace mv {
namespace {

// Long enough for a busy first instance; the caller never waits forever.
constexpr int kForwardTimeoutMs = 10000;

}  // namespace

QtOpenUrlService::QtOpenUrlService(std::function<void(const std::string&)> deliver)
    : deliver_(std::move(deliver)) {}

QtOpenUrlService::~QtOpenUrlService() { Release(); }

void QtOpenUrlService::Release() {
  if (!registered_) return;
  registered_ = false;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterObject(kObjectPath);
  bus.unregisterService(kBusName);
}

QtOpenUrlService::Outcome QtOpenUrlService::Start(const std::optional<std::string>& url) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    LogDiagnostic("MorrowvaneHelper: no session bus; running without single-instance forwarding");
    return Outcome::kNoBus;
  }
  new QtApplicationAdaptor(this);
  QDBusMessage call;
  if (url) {
    call = QDBusMessage::createMethodCall(kBusName, kObjectPath, kApplicationInterface, "Open");
    call << QStringList{QString::fromStdString(*url)} << QVariantMap{};
  } else {
    call = QDBusMessage::createMethodCall(kBusName, kObjectPath, kApplicationInterface, "Activate");
    call << QVariantMap{};
  }
  QDBusMessage reply;
  // An instance that is ending gives its name up, or leaves the call
  // unanswered when it goes: then the name is free for this one.
  for (int attempt = 0; attempt < 2; ++attempt) {
    // The object is there before the name, so no call can find the name
    // without the object.
    if (!bus.registerObject(kObjectPath, this)) {
      LogDiagnostic("MorrowvaneHelper: cannot register the D-Bus object; running on its own");
      return Outcome::kNoBus;
    }
    if (bus.registerService(kBusName)) {
      registered_ = true;
      return Outcome::kServing;
    }
    bus.unregisterObject(kObjectPath);
    if (attempt > 0) break;
    reply = bus.call(call, QDBus::Block, kForwardTimeoutMs);
    if (reply.type() != QDBusMessage::ErrorMessage) return Outcome::kForwarded;
  }
  LogDiagnostic("MorrowvaneHelper: could not reach the running instance: " +
               reply.errorMessage().toStdString());
  return Outcome::kForwarded;
}

void QtOpenUrlService::Deliver(const QStringList& uris) {
  for (const QString& uri : uris) {
    QMetaObject::invokeMethod(
        this, [this, text = uri.toStdString()] { deliver_(text); }, Qt::QueuedConnection);
  }
}

QtApplicationAdaptor::QtApplicationAdaptor(QtOpenUrlService* service)
    : QDBusAbstractAdaptor(service), service_(service) {}

// A launch without a URL brings the running instance's open dialog, if any,
// to the front; the program has no other window to show.
void QtApplicationAdaptor::Activate(const QVariantMap&) {
  if (QWidget* dialog = QApplication::activeModalWidget()) {
    dialog->raise();
    dialog->activateWindow();
  }
}

void QtApplicationAdaptor::Open(const QStringList& uris, const QVariantMap&) {
  service_->Deliver(uris);
}

// The program has no actions.
void QtApplicationAdaptor::ActivateAction(const QString&, const QVariantList&,
                                          const QVariantMap&) {}

}  // namespace mv
