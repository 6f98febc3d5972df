#include "platform/nt/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/nt/access_rights.h"
#include "platform/nt/event.h"
#include "platform/nt/handles.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/ntstatus.h"

namespace {

using nt::ProcessControl;
using nt::TokenControl;

class Processes : public testing::Test {
 protected:
  Processes() {
    PACCESS_TOKEN alice = TokenControl::CreateToken(u"alice");
    client_ = ProcessControl::Create(u"client.exe", alice);
    ObDereferenceObject(alice);
  }
  ~Processes() override { ObDereferenceObject(client_); }

  static HANDLE NewEvent(ACCESS_MASK access, ULONG flags = 0, bool user = true) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, flags, nullptr, nullptr);
    HANDLE handle = nullptr;
    const NTSTATUS status =
        user ? NtCreateEvent(&handle, access, &attributes, NotificationEvent, FALSE)
             : ZwCreateEvent(&handle, access, &attributes, NotificationEvent, FALSE);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return handle;
  }

  static std::u16string Account(PACCESS_TOKEN token) { return TokenControl::AccountOf(token); }

  nt::Kernel kernel_;
  PEPROCESS client_;
};

TEST_F(Processes, ThreadsBelongToSystemUnlessStartedInAnotherProcess) {
  EXPECT_EQ(PsGetCurrentProcess(), ProcessControl::System());
  EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4));
  PEPROCESS seen_in_run = nullptr;
  PEPROCESS seen_in_child = nullptr;
  PEPROCESS seen_in_host_thread = nullptr;
  ProcessControl::RunIn(client_, [&] {
    seen_in_run = PsGetCurrentProcess();
    nt::Thread([&] { seen_in_child = PsGetCurrentProcess(); }).Join();
    std::thread([&] { seen_in_host_thread = PsGetCurrentProcess(); }).join();
  });
  EXPECT_EQ(seen_in_run, client_);
  EXPECT_EQ(seen_in_child, client_);
  EXPECT_EQ(seen_in_host_thread, ProcessControl::System());
  EXPECT_EQ(ProcessControl::NameOf(client_), u"client.exe");
}

TEST_F(Processes, HandlesBelongToTheProcessThatMadeThemUnlessMadeForTheKernel) {
  HANDLE own = nullptr;
  HANDLE kernel = nullptr;
  ProcessControl::RunIn(client_, [&] {
    own = NewEvent(EVENT_ALL_ACCESS);
    kernel = NewEvent(EVENT_ALL_ACCESS, OBJ_KERNEL_HANDLE, false);
  });
  PEPROCESS other = ProcessControl::Create(u"other.exe", nullptr);
  ProcessControl::RunIn(other, [own] {
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(own, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
  });
  ObDereferenceObject(other);
  PVOID object;
  ASSERT_EQ(ObReferenceObjectByHandle(kernel, 0, nullptr, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ObDereferenceObject(object);
  EXPECT_EQ(ObReferenceObjectByHandle(kernel, 0, nullptr, UserMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(NtClose(kernel), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(kernel), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ProcessControl::HandleCount(client_), 1u);
}

TEST_F(Processes, UserModeGetsOnlyTheRightsItsHandleWasGranted) {
  ProcessControl::RunIn(client_, [] {
    HANDLE handle = NewEvent(SYNCHRONIZE | EVENT_QUERY_STATE);
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                        &object, nullptr),
              STATUS_ACCESS_DENIED);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                        KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    OBJECT_HANDLE_INFORMATION information{};
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, UserMode, &object,
                                        &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information.GrantedAccess, SYNCHRONIZE | EVENT_QUERY_STATE);
    ObDereferenceObject(object);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsProcessType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    NtClose(handle);
  });
}

TEST_F(Processes, AThreadActsWithItsProcessTokenUntilItImpersonates) {
  SECURITY_CLIENT_CONTEXT client{};
  ProcessControl::RunIn(client_, [&client] {
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    EXPECT_EQ(Account(subject.PrimaryToken), u"alice");
    EXPECT_EQ(subject.ClientToken, nullptr);
    SeReleaseSubjectContext(&subject);
    SECURITY_QUALITY_OF_SERVICE qos{sizeof(qos), SecurityImpersonation,
                                    SECURITY_STATIC_TRACKING, FALSE};
    ASSERT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &client),
              STATUS_SUCCESS);
  });
  ASSERT_EQ(client.TokenType, TokenPrimary);
  std::thread([&client] {
    ASSERT_EQ(SeImpersonateClientEx(&client, nullptr), STATUS_SUCCESS);
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    ASSERT_NE(subject.ClientToken, nullptr);
    EXPECT_EQ(Account(subject.ClientToken), u"alice");
    EXPECT_EQ(subject.ImpersonationLevel, SecurityImpersonation);
    EXPECT_EQ(Account(subject.PrimaryToken), u"SYSTEM");
    SeReleaseSubjectContext(&subject);
    PsRevertToSelf();
    SeCaptureSubjectContext(&subject);
    EXPECT_EQ(subject.ClientToken, nullptr);
    SeReleaseSubjectContext(&subject);
  }).join();
  // Without the optional routine, a driver drops the token as any object.
  ObDereferenceObject(client.ClientToken);
}

TEST_F(Processes, EndingAProcessClosesItsHandlesAndDestroysItsDataNewestFirst) {
  static std::u16string destroyed;
  destroyed.clear();
  static const char kFirst = 0;
  static const char kSecond = 0;
  auto make_first = []() -> PVOID { return new char16_t(u'1'); };
  auto make_second = []() -> PVOID {
    return new char16_t(*static_cast<char16_t*>(nt::ProcessData(&kFirst, nullptr, nullptr)) + 1);
  };
  auto destroy = [](PVOID value) {
    destroyed += *static_cast<char16_t*>(value);
    delete static_cast<char16_t*>(value);
  };
  PVOID in_client = nullptr;
  ProcessControl::RunIn(client_, [&] {
    nt::ProcessData(&kFirst, make_first, destroy);
    in_client = nt::ProcessData(&kSecond, make_second, destroy);
    EXPECT_EQ(nt::ProcessData(&kSecond, make_second, destroy), in_client);
    NewEvent(EVENT_ALL_ACCESS);
  });
  EXPECT_EQ(*static_cast<char16_t*>(in_client), u'2');
  PVOID in_system = nt::ProcessData(&kSecond, []() -> PVOID { return new char16_t(u's'); },
                                    destroy);
  EXPECT_NE(in_system, in_client);
  ProcessControl::Terminate(client_);
  EXPECT_EQ(destroyed, u"21");
  EXPECT_EQ(ProcessControl::HandleCount(client_), 0u);
  ProcessControl::RunIn(client_, [] {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
    HANDLE handle;
    EXPECT_EQ(NtCreateEvent(&handle, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE),
              STATUS_PROCESS_IS_TERMINATING);
  });
}

TEST(ProcessesAcrossKernels, AThreadBelongsToTheSystemProcessOfTheKernelThatRuns) {
  {
    nt::Kernel first;
    EXPECT_EQ(PsGetCurrentProcess(), ProcessControl::System());
  }
  // The thread still holds the first kernel's System process, so the second's is another.
  nt::Kernel second;
  EXPECT_EQ(PsGetCurrentProcess(), ProcessControl::System());
}

}  // namespace
