// Handle tables: each owns its objects; lookup by address.
#include "modules/SKFAPI/Session.h"

#include <map>
#include <memory>

#include "modules/SKFAPI/Internal.h"

namespace skfapi {
namespace {

template <class T>
class Table {
 public:
  T* Add(std::unique_ptr<T> obj) {
    T* raw = obj.get();
    items_[raw] = std::move(obj);
    return raw;
  }
  T* Find(HANDLE h) const {
    auto it = items_.find(static_cast<T*>(h));
    return it == items_.end() ? nullptr : it->second.get();
  }
  void Remove(T* obj) { items_.erase(obj); }
  // Removes every object for which PRED is true.
  template <class Pred>
  void RemoveIf(Pred pred) {
    for (auto it = items_.begin(); it != items_.end();) {
      if (pred(*it->second)) it = items_.erase(it);
      else ++it;
    }
  }

 private:
  std::map<T*, std::unique_ptr<T>> items_;
};

Table<Device>& Devices() {
  static Table<Device> t;
  return t;
}
Table<Application>& Apps() {
  static Table<Application> t;
  return t;
}
Table<Container>& Containers() {
  static Table<Container> t;
  return t;
}

}  // namespace

std::mutex& ApiMutex() {
  static std::mutex m;
  return m;
}

Device* OpenDevice(const std::string& name, const std::string& dir) {
  auto d = std::make_unique<Device>();
  d->name = name;
  d->dir = dir;
  return Devices().Add(std::move(d));
}

Application* OpenApp(Device* dev, const std::string& name, const std::string& dir) {
  auto a = std::make_unique<Application>();
  a->device = dev;
  a->name = name;
  a->dir = dir;
  return Apps().Add(std::move(a));
}

Container* OpenContainerHandle(Application* app, const std::string& name,
                               const std::string& dir) {
  auto c = std::make_unique<Container>();
  c->app = app;
  c->name = name;
  c->dir = dir;
  return Containers().Add(std::move(c));
}

Device* FindDevice(HANDLE h) { return h ? Devices().Find(h) : nullptr; }
Application* FindApp(HANDLE h) { return h ? Apps().Find(h) : nullptr; }
Container* FindContainer(HANDLE h) { return h ? Containers().Find(h) : nullptr; }

void CloseContainerHandle(Container* c) { Containers().Remove(c); }

void CloseApp(Application* app) {
  Containers().RemoveIf([app](const Container& c) { return c.app == app; });
  Apps().Remove(app);
}

void CloseDevice(Device* dev) {
  Apps().RemoveIf([dev](const Application& a) {
    if (a.device != dev) return false;
    Containers().RemoveIf([&a](const Container& c) { return c.app == &a; });
    return true;
  });
  Devices().Remove(dev);
}

}  // namespace skfapi
