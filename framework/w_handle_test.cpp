#include "framework/w_handle.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "framework/w_thread.h"
#include "framework/w_win.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/process.h"
#include "platform/nt/token.h"
#include "platform/win32/file_api.h"
#include "platform/win32/named_pipe.h"
#include "platform/win32/process_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"
#include "platform/win32/window_api.h"

namespace {

using Handles = Win32Machine;

// Polls until `done` holds, for at most ten seconds of host time.
bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 10000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

class Window : public WWin {
 public:
  explicit Window(HWND window) { hwnd_ = window; }
};

// The agent's pipe server: a thread with a message loop whose wait map serves the pipe. Each
// connection's 12-byte record is kept, then the pipe is disconnected and listens again; the
// loop quits after two records.
class Server : public WWinThread {
 public:
  bool InitInstance() override {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.lpszClassName = u"PipeServer";
    RegisterClassExW(&window_class);
    window_ = std::make_unique<Window>(CreateWindowExW(0, u"PipeServer", u"", 0, 0, 0, 0, 0,
                                                      nullptr, nullptr, nullptr, nullptr));
    setMainWindow(window_.get());
    if (!readEvent_.Create(true, false)) return false;
    pipe_.SetName(u"kvagent1");
    pipe_.SetCompletion(&Server::OnConnected, this);
    if (!pipe_.Create(PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 4096, 0)) {
      return false;
    }
    first_listen = pipe_.Listen();
    first_pending = pipe_.pending();
    second_listen = pipe_.Listen();  // already listening
    registered = waitHandleCount();
    HANDLE listening = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"listening");
    SetEvent(listening);
    CloseHandle(listening);
    return true;
  }
  int ExitInstance(int result) override {
    pipe_.Close();
    return result;
  }

  static void OnConnected(WObject* owner, WPipe& pipe) {
    auto* server = static_cast<Server*>(owner);
    if (GetCurrentThreadId() != server->threadId()) ++server->foreign_calls;
    std::array<BYTE, 12> record{};
    DWORD read = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = server->readEvent_.handle();
    if (!pipe.Read(record.data(), 12, &read, &overlapped) && GetLastError() == ERROR_IO_PENDING) {
      GetOverlappedResult(pipe.handle(), &overlapped, &read, TRUE);
    }
    if (read == 12) server->records.push_back(record);
    pipe.Disconnect();
    if (server->records.size() == 2) {
      PostQuitMessage(0);
      return;
    }
    // The entry fired once; listening again registers it anew.
    if (!pipe.Listen()) ++server->failed_listens;
  }

  bool first_listen = false;
  bool first_pending = false;
  bool second_listen = true;
  size_t registered = 0;
  int foreign_calls = 0;
  int failed_listens = 0;
  std::vector<std::array<BYTE, 12>> records;

 private:
  std::unique_ptr<Window> window_;
  WSyncEvent readEvent_;
  WPipe pipe_;
};

void SendRecord(BYTE id) {
  HANDLE client = CreateFileW(u"\\\\.\\pipe\\kvagent1", GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  std::array<BYTE, 12> record{0x69, 0x04, 0, 0, 1, 0, 0, 0, id, 0, 0, 0};
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(client, record.data(), 12, &written, nullptr));
  CloseHandle(client);
}

}  // namespace

TEST_F(Handles, CloseIsIdempotentAndEmptyHandlesDoNotClose) {
  WSyncEvent event;
  EXPECT_FALSE(event.Close());
  ASSERT_TRUE(event.Create(true, false, u"kvtest"));
  // Create again closes the handle held before: the named event is gone with it.
  ASSERT_TRUE(event.Create(true, false));
  EXPECT_NE(event.handle(), nullptr);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"kvtest"), nullptr);
  EXPECT_TRUE(event.Close());
  EXPECT_EQ(event.handle(), nullptr);
  EXPECT_FALSE(event.Close());

  WIoHandle io;
  EXPECT_EQ(io.handle(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(io.Close());
}

TEST_F(Handles, SemaphoreAndMutexWrappersCreateAndOpenByName) {
  WSemaphore semaphore;
  EXPECT_FALSE(semaphore.Open(u"_kvagent_sem", SEMAPHORE_ALL_ACCESS, false));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(semaphore.Create(u"_kvagent_sem", 0, 1));
  WSemaphore other;
  EXPECT_TRUE(other.Open(u"_kvagent_sem", SEMAPHORE_ALL_ACCESS, false));
  WMutex mutex;
  EXPECT_TRUE(mutex.Create(nullptr, true));
  EXPECT_TRUE(ReleaseMutex(mutex.handle()));
}

TEST_F(Handles, APipeServersCompletionRunsInItsThreadsLoopForEachRecord) {
  PEPROCESS agent = NewProcess(u"kvagent.exe", u"ann");
  PEPROCESS service = NewProcess(u"kvsyncsvc.exe", u"SYSTEM");
  PEPROCESS user = NewProcess(u"kvshell.exe", u"bob");
  HANDLE listening = nullptr;
  // The server and its handles (the pipe's event, the thread) belong to the agent: made and
  // ended there.
  std::unique_ptr<Server> owned;
  RunIn(agent, [&] {
    listening = CreateEventW(nullptr, TRUE, FALSE, u"listening");
    owned = std::make_unique<Server>();
    ASSERT_TRUE(owned->Start(0));
  });
  ASSERT_NE(owned, nullptr);
  Server& server = *owned;
  RunIn(service, [] {
    HANDLE started = OpenEventW(SYNCHRONIZE, FALSE, u"listening");
    ASSERT_NE(started, nullptr);
    WaitForSingleObject(started, INFINITE);
    CloseHandle(started);
    SendRecord(1);
  });
  // The null DACL lets another account write too.
  RunIn(user, [] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      HANDLE client = CreateFileW(u"\\\\.\\pipe\\kvagent1", GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
      if (client == INVALID_HANDLE_VALUE) {
        ASSERT_EQ(GetLastError(), ERROR_PIPE_BUSY);
        Sleep(0);
        continue;
      }
      std::array<BYTE, 12> record{0x69, 0x04, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
      DWORD written = 0;
      EXPECT_TRUE(WriteFile(client, record.data(), 12, &written, nullptr));
      CloseHandle(client);
      return;
    }
    ADD_FAILURE() << "the pipe never listened again";
  });
  ASSERT_TRUE(WaitUntil([&] { return !server.started(); }));
  EXPECT_TRUE(server.first_listen);
  EXPECT_TRUE(server.first_pending);
  EXPECT_FALSE(server.second_listen);
  EXPECT_EQ(server.registered, 1u);
  EXPECT_EQ(server.foreign_calls, 0);
  EXPECT_EQ(server.failed_listens, 0);
  ASSERT_EQ(server.records.size(), 2u);
  EXPECT_EQ(server.records[0][8], 1);
  EXPECT_EQ(server.records[1][8], 2);
  EXPECT_EQ(server.waitHandleCount(), 0u);
  RunIn(agent, [&] {
    owned.reset();
    CloseHandle(listening);
  });
}

TEST_F(Handles, ListenReportsAClientThatCameAndWent) {
  WPipe pipe;
  pipe.SetName(u"kvagent1");
  ASSERT_TRUE(pipe.Create(PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_MESSAGE, 1, 0,
                          0, 0));
  SendRecord(3);
  // Nothing would ever complete: the pipe does not claim to listen.
  EXPECT_FALSE(pipe.Listen());
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  EXPECT_FALSE(pipe.listening());
  EXPECT_TRUE(pipe.Disconnect());
  // Without a message loop the connect is waited for; a client that is there already
  // completes it.
  HANDLE client = CreateFileW(u"\\\\.\\pipe\\kvagent1", GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(client, INVALID_HANDLE_VALUE);  // disconnected: busy until it listens
  nt::Thread connector([] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      HANDLE late = CreateFileW(u"\\\\.\\pipe\\kvagent1", GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      if (late != INVALID_HANDLE_VALUE) {
        CloseHandle(late);
        return;
      }
      Sleep(0);
    }
    ADD_FAILURE() << "the pipe never listened";
  });
  pipe.SetCompletion([](WObject*, WPipe&) {}, nullptr);
  EXPECT_TRUE(pipe.Listen());
  connector.Join();
  EXPECT_TRUE(pipe.listening());
}
