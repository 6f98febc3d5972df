#include "framework/w_app.h"

#include <new>

#include "platform/win32/process_api.h"
#include "platform/win32/process_local.h"

namespace {

struct AppPointer {
  WApp* app = nullptr;
};

ProcessLocal<AppPointer> app_pointer;

void OutOfMemory() { throw std::bad_alloc(); }

}  // namespace

WApp::WApp() : WModule(nullptr), WWinThread(GetCurrentThread(), 0) {
  app_pointer->app = this;
}

WApp::~WApp() {
  if (app_pointer->app == this) app_pointer->app = nullptr;
}

WApp* WApp::Instance() { return app_pointer->app; }

int WApp::Main(HINSTANCE instance, int showCommand) {
  WApp* app = Instance();
  if (app == nullptr) return -1;
  const std::new_handler previous = std::set_new_handler(OutOfMemory);
  app->instance_ = instance;
  app->showCommand_ = showCommand;
  const int result = Entry(app);
  std::set_new_handler(previous);
  return result;
}
