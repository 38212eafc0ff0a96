#include "platform/linux/QtOpenUrlService.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMetaObject>
#include <QWidget>

#include "app/Log.h"

namespace mv {
namespace {

// Long enough for a busy first instance; the caller never waits forever.
constexpr int kForwardTimeoutMs = 10000;

}  // namespace

QtOpenUrlService::QtOpenUrlService(std::function<void(const std::string&)> deliver)
    : deliver_(std::move(deliver)) {}

QtOpenUrlService::~QtOpenUrlService() {
  if (!registered_) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterObject(kObjectPath);
  bus.unregisterService(kBusName);
}

QtOpenUrlService::Outcome QtOpenUrlService::Start(const std::optional<std::string>& url) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    MVLogWrite("MorrowvaneHelper: no session bus; running without single-instance forwarding");
    return Outcome::kNoBus;
  }
  // The object is there before the name, so no call can find the name
  // without the object.
  new QtApplicationAdaptor(this);
  if (!bus.registerObject(kObjectPath, this)) {
    MVLogWrite("MorrowvaneHelper: cannot register the D-Bus object; running on its own");
    return Outcome::kNoBus;
  }
  if (bus.registerService(kBusName)) {
    registered_ = true;
    return Outcome::kServing;
  }
  bus.unregisterObject(kObjectPath);

  QDBusMessage call;
  if (url) {
    call = QDBusMessage::createMethodCall(kBusName, kObjectPath, kApplicationInterface, "Open");
    call << QStringList{QString::fromStdString(*url)} << QVariantMap{};
  } else {
    call = QDBusMessage::createMethodCall(kBusName, kObjectPath, kApplicationInterface, "Activate");
    call << QVariantMap{};
  }
  const QDBusMessage reply = bus.call(call, QDBus::Block, kForwardTimeoutMs);
  if (reply.type() == QDBusMessage::ErrorMessage) {
    MVLogWrite("MorrowvaneHelper: could not reach the running instance: " +
               reply.errorMessage().toStdString());
  }
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
