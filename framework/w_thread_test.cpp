#include "framework/w_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "framework/w_app.h"
#include "framework/w_sexception.h"
#include "framework/w_win.h"
#include "platform/nt/clock.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"

namespace {

using Threads = Win32Machine;

// Polls until `done` holds, for at most ten seconds of host time.
bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 10000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// A thread whose body is a given routine; it records what reaches it.
class BodyThread : public WThread {
 public:
  explicit BodyThread(std::function<int()> body) : body_(std::move(body)) {}

  int Run(DWORD parameter) override {
    parameter_seen = parameter;
    return body_();
  }
  int ExitInstance(int result) override {
    exit_result = result;
    return result;
  }
  bool OnException(const std::exception& exception) override {
    exception_text = exception.what();
    if (const auto* structured = dynamic_cast<const WSException*>(&exception)) {
      structured_code = structured->code();
    }
    return true;
  }

  std::atomic<DWORD> parameter_seen{0};
  std::atomic<int> exit_result{0};
  std::string exception_text;
  DWORD structured_code = 0;

 private:
  std::function<int()> body_;
};

TEST_F(Threads, ExceptionsEscapingTheBodyReachOnExceptionAndTheThreadEndsWithMinusOne) {
  struct Case {
    const char* name;
    std::function<int()> body;
    const char* text;
    DWORD code;
  };
  const ULONG_PTR arguments[2] = {1, 0x10};
  const Case cases[] = {
      {"standard exception", [] () -> int { throw std::runtime_error("disk gone"); },
       "disk gone", 0},
      {"anything else", [] () -> int { throw 42; }, "Exception unknown", 0},
      {"structured exception",
       [&arguments] () -> int { RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 2, arguments); },
       "Exception access violation at address", EXCEPTION_ACCESS_VIOLATION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BodyThread thread(c.body);
    ASSERT_TRUE(thread.Start(77));
    ASSERT_TRUE(WaitUntil([&] { return !thread.started(); }));
    EXPECT_FALSE(thread.running());
    EXPECT_EQ(thread.handle(), nullptr);
    EXPECT_EQ(thread.parameter_seen, 77u);
    EXPECT_EQ(thread.exit_result, -1);
    EXPECT_EQ(thread.exception_text.rfind(c.text, 0), 0u) << thread.exception_text;
    EXPECT_EQ(thread.structured_code, c.code);
  }
}

TEST_F(Threads, AThreadStartsOnceAtATimeAndAgainAfterItEnded) {
  std::atomic<int> runs{0};
  std::atomic<bool> release{false};
  BodyThread thread([&] {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ++runs;
  });
  for (int i = 1; i <= 2; ++i) {
    release = false;
    ASSERT_TRUE(thread.Start(0, CREATE_SUSPENDED));
    EXPECT_FALSE(thread.running());
    ResumeThread(thread.handle());
    EXPECT_FALSE(thread.Start(0));
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return !thread.started(); }));
    EXPECT_EQ(thread.exit_result, i);
  }
}

// The main window of a worker: a plain window of the machine.
class Window : public WWin {
 public:
  explicit Window(HWND window) { hwnd_ = window; }
};

std::atomic<int> timer_messages{0};
// The last WM_COMMAND's window and id.
std::atomic<HWND> command_window{nullptr};
std::atomic<int> command_id{0};
std::atomic<int> key_downs{0};

LRESULT WorkerProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER) ++timer_messages;
  if (message == WM_KEYDOWN) ++key_downs;
  if (message == WM_COMMAND) {
    command_window = window;
    command_id = LOWORD(wparam);
  }
  if (message == WM_USER) {
    const ULONG_PTR arguments[2] = {0, 0};
    RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 2, arguments);
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// A worker thread with a window, a one-second timer and one registered event.
class Worker : public WWinThread {
 public:
  bool InitInstance() override {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = WorkerProcedure;
    window_class.lpszClassName = u"Worker";
    RegisterClassExW(&window_class);
    HWND handle = CreateWindowExW(0, u"Worker", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                  nullptr);
    window_ = std::make_unique<Window>(handle);
    setMainWindow(window_.get());
    SetTimer(handle, 1, 1000, nullptr);
    event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    AddWaitHandle(event, this, &Worker::OnEvent, 9);
    ready = true;
    return true;
  }
  int ExitInstance(int result) override {
    exit_result = result;
    CloseHandle(event);
    return result;
  }
  bool OnException(const std::exception& exception) override {
    if (dynamic_cast<const WSException*>(&exception) != nullptr) ++structured;
    return true;
  }
  bool OnThreadMessage(WMessage& message) override {
    if (message.message == WM_USER + 9) ++thread_messages;
    return true;
  }

  static void OnEvent(WObject* owner, HANDLE, LPARAM parameter) {
    static_cast<Worker*>(owner)->events += static_cast<int>(parameter);
  }

  HANDLE event = nullptr;
  std::atomic<bool> ready{false};
  std::atomic<int> events{0};
  std::atomic<int> structured{0};
  std::atomic<int> thread_messages{0};
  std::atomic<int> exit_result{0};

 private:
  std::unique_ptr<Window> window_;
};

TEST_F(Threads, AWorkersLoopRunsTimersAndHandleCallbacksUntilWmQuit) {
  timer_messages = 0;
  Worker worker;
  ASSERT_TRUE(worker.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return worker.ready.load(); }));
  EXPECT_EQ(WThread::FindThread(worker.threadId()), &worker);

  // The handle's callback fires once, though the event stays signalled.
  SetEvent(worker.event);
  ASSERT_TRUE(WaitUntil([&] { return worker.events == 9; }));
  nt::SystemClock::Advance(nt::kTicksPerSecond);
  ASSERT_TRUE(WaitUntil([&] { return timer_messages == 1; }));
  EXPECT_EQ(worker.events, 9);

  // A structured exception in a window procedure reaches OnException; the loop goes on.
  HWND window = worker.mainWindow()->handle();
  PostMessageW(window, WM_USER, 0, 0);
  PostThreadMessageW(worker.threadId(), WM_USER + 9, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return worker.thread_messages == 1; }));
  EXPECT_EQ(worker.structured, 1);

  PostThreadMessageW(worker.threadId(), WM_QUIT, 5, 0);
  ASSERT_TRUE(WaitUntil([&] { return !worker.started(); }));
  EXPECT_EQ(worker.exit_result, 5);
  EXPECT_EQ(WThread::FindThread(worker.threadId()), nullptr);
}

// A worker with a modeless dialog, an accelerator table and idle work.
class DialogWorker : public Worker {
 public:
  bool InitInstance() override {
    Worker::InitInstance();
    dialog.Attach(CreateWindowExW(0, u"Worker", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                  nullptr));
    ACCEL entries[] = {{FVIRTKEY | FCONTROL, 'S', 300}};
    setAccelerators(CreateAcceleratorTableW(entries, 1));
    setIdle(true);
    return true;
  }
  bool OnIdle() override {
    ++idle_calls;
    return false;
  }

  class Dialog : public WDialog {
   public:
    void Attach(HWND window) { hwnd_ = window; }
  } dialog;
  std::atomic<int> idle_calls{0};
};

TEST_F(Threads, TheLoopOffersMessagesToModelessDialogsThenToTheAccelerators) {
  command_window = nullptr;
  command_id = 0;
  key_downs = 0;
  DialogWorker worker;
  ASSERT_TRUE(worker.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return worker.ready.load(); }));
  // Idle work ran once, when the queue was first empty, and cleared the flag.
  ASSERT_TRUE(WaitUntil([&] { return worker.idle_calls == 1; }));

  HWND dialog = worker.dialog.handle();
  HWND main = worker.mainWindow()->handle();
  PostThreadMessageW(worker.threadId(), WM_W_ADD_MODELESS, 0,
                     reinterpret_cast<LPARAM>(&worker.dialog));
  win32::UserControl::TypeKey(dialog, 0, VK_ESCAPE);
  ASSERT_TRUE(WaitUntil([&] { return command_id == IDCANCEL; }));
  EXPECT_EQ(command_window.load(), dialog);
  EXPECT_EQ(key_downs, 0);

  // A key of another window reaches the accelerator table, which commands the main window.
  win32::UserControl::TypeKey(main, MOD_CONTROL, 'S');
  ASSERT_TRUE(WaitUntil([&] { return command_id == 300; }));
  EXPECT_EQ(command_window.load(), main);
  EXPECT_EQ(key_downs, 0);

  // Out of the list, the dialog's keys are dispatched as they are.
  PostThreadMessageW(worker.threadId(), WM_W_REMOVE_MODELESS, 0,
                     reinterpret_cast<LPARAM>(&worker.dialog));
  win32::UserControl::TypeKey(dialog, 0, VK_ESCAPE);
  ASSERT_TRUE(WaitUntil([&] { return key_downs == 1; }));
  EXPECT_EQ(command_id, 300);

  PostThreadMessageW(worker.threadId(), WM_QUIT, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return !worker.started(); }));
  EXPECT_FALSE(worker.idle());
  EXPECT_EQ(worker.idle_calls, 1);
  DestroyAcceleratorTable(worker.accelerators());
}

// Records its own deletion.
class Deleted : public WSysObject {
 public:
  explicit Deleted(std::atomic<bool>* flag) : flag_(flag) {}
  ~Deleted() override { *flag_ = true; }

 private:
  std::atomic<bool>* flag_;
};

TEST_F(Threads, TheLoopDeletesObjectsPostedToIt) {
  Worker worker;
  ASSERT_TRUE(worker.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return worker.ready.load(); }));
  std::atomic<bool> deleted{false};
  PostThreadMessageW(worker.threadId(), WM_W_DELETE_OBJECT, 0,
                     reinterpret_cast<LPARAM>(new Deleted(&deleted)));
  EXPECT_TRUE(WaitUntil([&] { return deleted.load(); }));
  PostThreadMessageW(worker.threadId(), WM_QUIT, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return !worker.started(); }));
}

TEST_F(Threads, TheWaitMapHoldsThirtyTwoHandlesAndReplacesAnEntry) {
  Worker worker;
  for (size_t i = 0; i < WWinThread::kMaxWaitHandles; ++i) {
    EXPECT_TRUE(worker.AddWaitHandle(reinterpret_cast<HANDLE>(i + 1), nullptr, nullptr, 0));
  }
  EXPECT_FALSE(worker.AddWaitHandle(reinterpret_cast<HANDLE>(100), nullptr, nullptr, 0));
  EXPECT_TRUE(worker.AddWaitHandle(reinterpret_cast<HANDLE>(1), &worker, nullptr, 1));
  EXPECT_EQ(worker.waitHandleCount(), WWinThread::kMaxWaitHandles);
  worker.RemoveWaitHandle(reinterpret_cast<HANDLE>(1));
  EXPECT_EQ(worker.waitHandleCount(), WWinThread::kMaxWaitHandles - 1);
}

// A program whose main window quits with its given code.
class App : public WApp {
 public:
  bool InitInstance() override {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.lpszClassName = u"AppMain";
    RegisterClassExW(&window_class);
    window_ = std::make_unique<Window>(CreateWindowExW(0, u"AppMain", u"", 0, 0, 0, 0, 0,
                                                      nullptr, nullptr, nullptr, nullptr));
    setMainWindow(window_.get());
    PostQuitMessage(3);
    return true;
  }
  int ExitInstance(int result) override { return result + 10; }

 private:
  std::unique_ptr<Window> window_;
};

TEST_F(Threads, TheApplicationRunsItsLoopOnTheMainThread) {
  int result = 0;
  RunIn(NewProcess(u"kvagent.exe", u"alice"), [&result] {
    EXPECT_EQ(WApp::Main(nullptr, 1), -1);
    App app;
    EXPECT_EQ(WApp::Instance(), &app);
    EXPECT_TRUE(app.running());
    EXPECT_FALSE(app.Start(0));
    result = WApp::Main(nullptr, SW_SHOWNORMAL);
    EXPECT_EQ(app.showCommand(), SW_SHOWNORMAL);
    EXPECT_EQ(app.threadId(), GetCurrentThreadId());
  });
  EXPECT_EQ(result, 13);
}

}  // namespace
