// Single instance and open-URL events over the D-Bus session bus.
//
// The first instance owns the bus name and serves the freedesktop
// org.freedesktop.Application interface; a later launch finds the name taken,
// hands its URL to the running instance with Open and ends.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>
#include <string>

namespace mv {

inline constexpr char kBusName[] = "com.morrowvane.Helper";
inline constexpr char kObjectPath[] = "/com/morrowvane/Helper";
inline constexpr char kApplicationInterface[] = "org.freedesktop.Application";

class QtOpenUrlService final : public QObject {
 public:
  enum class Outcome {
    kServing,    // this process owns the name and receives Open calls
    kForwarded,  // another instance runs; the URL (if any) went to it
    kNoBus,      // no session bus: this process runs on its own
  };

  // `deliver` gets each URI of an Open call on the GUI thread, after the call
  // has been answered.
  explicit QtOpenUrlService(std::function<void(const std::string&)> deliver);
  ~QtOpenUrlService() override;

  // Takes the bus name or, when another process holds it, forwards `url`
  // there (Activate when there is none). Logs what it could not do.
  Outcome Start(const std::optional<std::string>& url);
  // Gives the bus name up, so that the next launch serves in its place.
  void Release();

  void Deliver(const QStringList& uris);

 private:
  std::function<void(const std::string&)> deliver_;
  bool registered_ = false;
};

// The org.freedesktop.Application interface on the service's object.
class QtApplicationAdaptor final : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  explicit QtApplicationAdaptor(QtOpenUrlService* service);

 public slots:
  void Activate(const QVariantMap& platform_data);
  void Open(const QStringList& uris, const QVariantMap& platform_data);
  void ActivateAction(const QString& action_name, const QVariantList& parameter,
                      const QVariantMap& platform_data);

 private:
  QtOpenUrlService* service_;
};

}  // namespace mv
