// Toasts as freedesktop notifications (org.freedesktop.Notifications on the session bus, over
// GIO's GDBus). The server's signals arrive on a thread of the platform's own (one for each
// connection it made), which ends with the platform or at stop().
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "toast/notifier.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

namespace toast {

// What a toast document becomes in a Notify call.
struct NotifyRequest {
  std::string appName;
  uint32_t replacesId = 0;
  std::string appIcon;
  std::string summary;
  std::string body;
  // Pairs of action key and label.
  std::vector<std::pair<std::string, std::string>> actions;
  // Hints: the desktop entry, the hero image path, the sound file, sound suppression, urgency.
  std::string desktopEntry;
  std::string imagePath;
  std::string soundFile;
  bool suppressSound = false;
  int urgency = 1;
  int32_t expireTimeout = -1;
};

// Reads a built toast document. The body is markup-escaped when the server takes markup.
NotifyRequest notifyRequestFromDocument(const Document& document, const std::string& appName,
                                        const std::string& desktopEntry, bool bodyMarkup);

class DBusPlatform final : public Platform {
 public:
  // The bus at that address; empty: the session bus of the environment.
  explicit DBusPlatform(std::string address = std::string());
  ~DBusPlatform() override;

  // True when the bus answers and the Notifications name is owned or can be activated.
  bool isCompatible() override;
  bool setProcessAppUserModelId(const std::u16string& id) override;
  bool createNotifier(const std::u16string& appUserModelId) override;
  bool createNotification(Notification& notification) override;
  bool setExpiration(Notification& notification, int64_t milliseconds) override;
  std::optional<uint32_t> newToastId() override;
  bool addHandlers(Notification& notification) override;
  void removeHandlers(Notification& notification) override;
  bool show(Notification& notification) override;
  bool hide(Notification& notification) override;

  // Closes the connection and ends the signal thread. Later calls fail. On the UI thread it
  // serves the UI thread's queue while it waits, since a sink may be waiting for that thread.
  void stop();

 private:
  struct Shared;
  GDBusConnection* connection();

  std::shared_ptr<Shared> shared_;
};

}  // namespace toast
