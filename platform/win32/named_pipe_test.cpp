#include "platform/win32/named_pipe.h"

#include <array>
#include <cstring>
#include <string>

#include "platform/nt/process.h"
#include "platform/win32/file_api.h"
#include "platform/win32/security_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

constexpr const char16_t* kPipe = u"\\\\.\\pipe\\kvagent1";

using Record = std::array<BYTE, 12>;

Record MakeRecord(DWORD message, DWORD wparam, DWORD lparam) {
  Record record;
  const DWORD values[3] = {message, wparam, lparam};
  for (int i = 0; i < 3; ++i) {
    for (int b = 0; b < 4; ++b) record[i * 4 + b] = static_cast<BYTE>(values[i] >> (8 * b));
  }
  return record;
}

HANDLE MessageServer(DWORD open_mode = PIPE_ACCESS_INBOUND) {
  return CreateNamedPipeW(kPipe, open_mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 512,
                          512, 0, nullptr);
}

HANDLE Client(DWORD access = GENERIC_WRITE) {
  return CreateFileW(kPipe, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class NamedPipe : public Win32Machine {};

}  // namespace

TEST_F(NamedPipe, CarriesTwelveByteRecordsBetweenTwoProcesses) {
  PEPROCESS agent = NewProcess(u"kvagent.exe", u"ann");
  PEPROCESS service = NewProcess(u"kvsyncsvc.exe", u"SYSTEM");
  HANDLE server = nullptr;
  RunIn(agent, [&] {
    server = MessageServer();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
  });
  // The agent waits for a client on a thread of its own, as its pipe server does.
  std::vector<Record> received;
  nt::Thread reader(agent, [&] {
    // The client may have come first, or even gone: its records stay readable.
    EXPECT_TRUE(ConnectNamedPipe(server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED ||
                GetLastError() == ERROR_NO_DATA);
    Record record;
    DWORD read = 0;
    while (ReadFile(server, record.data(), 12, &read, nullptr)) {
      EXPECT_EQ(read, 12u);
      received.push_back(record);
    }
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  });
  RunIn(service, [] {
    HANDLE client = Client();
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    for (DWORD id : {7u, 8u}) {
      const Record record = MakeRecord(1129, 1, id);
      DWORD written = 0;
      EXPECT_TRUE(WriteFile(client, record.data(), 12, &written, nullptr));
      EXPECT_EQ(written, 12u);
    }
    EXPECT_TRUE(CloseHandle(client));
  });
  reader.Join();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], MakeRecord(1129, 1, 7));
  EXPECT_EQ(received[1], MakeRecord(1129, 1, 8));
  RunIn(agent, [&] { EXPECT_TRUE(CloseHandle(server)); });
}

TEST_F(NamedPipe, MessageReadIntoASmallBufferLeavesTheRestForTheNextRead) {
  HANDLE server = MessageServer();
  HANDLE client = Client();
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  const Record record = MakeRecord(1, 2, 3);
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(client, record.data(), 12, &count, nullptr));
  BYTE part[5];
  EXPECT_FALSE(ReadFile(server, part, sizeof part, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(count, 5u);
  BYTE rest[12];
  EXPECT_TRUE(ReadFile(server, rest, sizeof rest, &count, nullptr));
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(std::memcmp(rest, record.data() + 5, 7), 0);
  CloseHandle(client);
  CloseHandle(server);
}

TEST_F(NamedPipe, ByteModeReadsJoinWrites) {
  HANDLE server = CreateNamedPipeW(kPipe, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0,
                                   nullptr);
  HANDLE client = Client();
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(client, "abc", 3, &count, nullptr));
  ASSERT_TRUE(WriteFile(client, "defg", 4, &count, nullptr));
  char buffer[8] = {};
  EXPECT_TRUE(ReadFile(server, buffer, 6, &count, nullptr));
  EXPECT_EQ(count, 6u);
  EXPECT_STREQ(buffer, "abcdef");
  CloseHandle(client);
  CloseHandle(server);
}

TEST_F(NamedPipe, ClientChoosesMessageReadsAndPeeksAtWhatWaits) {
  HANDLE server = CreateNamedPipeW(kPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 0, 0, 0,
                                   nullptr);
  HANDLE client = Client(GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(server, "one", 3, &count, nullptr));
  ASSERT_TRUE(WriteFile(server, "two", 3, &count, nullptr));
  DWORD available = 0;
  DWORD left = 0;
  char peeked[2];
  EXPECT_TRUE(PeekNamedPipe(client, peeked, sizeof peeked, &count, &available, &left));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(available, 6u);
  EXPECT_EQ(left, 1u);
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
  char buffer[8] = {};
  EXPECT_TRUE(ReadFile(client, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "one");
  mode = PIPE_READMODE_BYTE;
  ASSERT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
  ASSERT_TRUE(WriteFile(server, "six", 3, &count, nullptr));
  EXPECT_TRUE(ReadFile(client, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "twosix");
  CloseHandle(client);
  CloseHandle(server);
}

TEST_F(NamedPipe, ConnectAndDisconnectFollowThePipeStates) {
  HANDLE server = MessageServer();
  // No client yet: reads find the pipe listening.
  BYTE byte;
  DWORD count;
  EXPECT_FALSE(ReadFile(server, &byte, 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_LISTENING);
  // A client may connect before ConnectNamedPipe, which then reports it.
  HANDLE client = Client();
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ConnectNamedPipe(server, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_CONNECTED);
  // One instance only: a second client finds it busy.
  EXPECT_EQ(Client(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);
  ASSERT_TRUE(WriteFile(client, "x", 1, &count, nullptr));
  // Disconnect drops unread data and cuts the client off.
  EXPECT_TRUE(DisconnectNamedPipe(server));
  EXPECT_FALSE(WriteFile(client, "y", 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_NOT_CONNECTED);
  EXPECT_FALSE(ReadFile(server, &byte, 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_NOT_CONNECTED);
  // Until the server listens again no client gets in.
  EXPECT_EQ(Client(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);
  CloseHandle(client);
  // The name goes with the last instance.
  CloseHandle(server);
  EXPECT_EQ(Client(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(NamedPipe, OverlappedConnectCompletesWhenAClientOpensAndCanBeCancelled) {
  HANDLE server = CreateNamedPipeW(kPipe, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE, 1, 0, 0, 0, nullptr);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE client = Client();
  CloseHandle(client);
  // The first client came and went: the pipe must be disconnected before it listens again.
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  EXPECT_FALSE(ConnectNamedPipe(server, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  ASSERT_TRUE(DisconnectNamedPipe(server));

  EXPECT_FALSE(ConnectNamedPipe(server, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD count;
  EXPECT_FALSE(GetOverlappedResult(server, &overlapped, &count, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  client = Client();
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(server, &overlapped, &count, TRUE));
  CloseHandle(client);
  ASSERT_TRUE(DisconnectNamedPipe(server));

  EXPECT_FALSE(ConnectNamedPipe(server, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_TRUE(CancelIo(server));
  EXPECT_FALSE(GetOverlappedResult(server, &overlapped, &count, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  CloseHandle(event);
  CloseHandle(server);
}

TEST_F(NamedPipe, OverlappedReadWaitsForTheNextWriteAndEndsWhenTheClientCloses) {
  HANDLE server = CreateNamedPipeW(kPipe, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0, 0,
                                   nullptr);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE client = Client();
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  Record record{};
  DWORD count = 0;
  EXPECT_FALSE(ReadFile(server, record.data(), 12, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);  // overlapped handles need a block
  EXPECT_FALSE(ReadFile(server, record.data(), 12, &count, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  const Record sent = MakeRecord(1126, 0, 5);
  ASSERT_TRUE(WriteFile(client, sent.data(), 12, &count, nullptr));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(server, &overlapped, &count, FALSE));
  EXPECT_EQ(count, 12u);
  EXPECT_EQ(record, sent);

  EXPECT_FALSE(ReadFile(server, record.data(), 12, &count, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  CloseHandle(client);
  EXPECT_FALSE(GetOverlappedResult(server, &overlapped, &count, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(WriteFile(server, sent.data(), 12, &count, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);  // an inbound pipe's server only reads
  CloseHandle(event);
  CloseHandle(server);
}

TEST_F(NamedPipe, OtherAccountsWriteOnlyAfterANullDacl) {
  PEPROCESS agent = NewProcess(u"kvagent.exe", u"ann");
  PEPROCESS other = NewProcess(u"other.exe", u"bob");
  HANDLE server = nullptr;
  RunIn(agent, [&] { server = MessageServer(); });
  RunIn(other, [] {
    EXPECT_EQ(Client(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  });
  RunIn(agent, [&] {
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    SECURITY_INFORMATION information = DACL_SECURITY_INFORMATION;
    EXPECT_TRUE(SetUserObjectSecurity(server, &information, &descriptor));
  });
  RunIn(other, [] {
    HANDLE client = Client();
    EXPECT_NE(client, INVALID_HANDLE_VALUE);
    CloseHandle(client);
  });
}

TEST_F(NamedPipe, BadParametersAreRefused) {
  struct Case {
    const char* name;
    const char16_t* pipe;
    DWORD open_mode;
    DWORD pipe_mode;
    DWORD instances;
  };
  constexpr Case kCases[] = {
      {"no pipe prefix", u"\\\\.\\kvagent1", PIPE_ACCESS_INBOUND, 0, 1},
      {"no access", kPipe, 0, 0, 1},
      {"message reads on a byte pipe", kPipe, PIPE_ACCESS_INBOUND, PIPE_READMODE_MESSAGE, 1},
      {"no instances", kPipe, PIPE_ACCESS_INBOUND, 0, 0},
      {"too many instances", kPipe, PIPE_ACCESS_INBOUND, 0, 256},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CreateNamedPipeW(c.pipe, c.open_mode, c.pipe_mode, c.instances, 0, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}
