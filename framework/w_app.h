// The application object: the program's module and its main thread, whose message loop runs
// the program. Each program has one; its constructor makes it the process's application.
#pragma once

#include "framework/w_module.h"
#include "framework/w_thread.h"

class WApp : public WModule, public WWinThread {
 public:
  // The main thread: the calling thread's pseudo handle, running and not started.
  WApp();
  ~WApp() override;

  // The process's application object, or null.
  static WApp* Instance();

  // The program's entry: installs a new-handler that throws std::bad_alloc when memory runs
  // out, stores the instance and show command, and runs the thread entry on the main thread
  // object. Returns its result, with the previous handler back in place. -1 without an
  // application object.
  static int Main(HINSTANCE instance, int showCommand);

  int showCommand() const { return showCommand_; }

 private:
  int showCommand_ = 0;
};
